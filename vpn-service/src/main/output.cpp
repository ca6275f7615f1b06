#include "main/output.hpp"

#include <cstdio>
#include <cstdlib>

#include "core/joined_text.hpp"
#include "core/version.hpp"

namespace velnaro {

namespace {

constexpr std::string_view kUsageText =
    ": utilisez --service-status, --self-test, --component-self-test ou "
    "--identity-self-test.\n";

}  // namespace

void print_line(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void print_usage() {
    static constexpr std::string_view kUsage = joined_text<kServiceName, kUsageText>;
    std::fwrite(kUsage.data(), 1, kUsage.size(), stderr);
    std::fflush(stderr);
}

std::string detail_code_envelope(const std::optional<std::string_view>& code) {
    if (!code) {
        return R"({"success":true,"detailCode":null})";
    }
    std::string text = R"({"success":false,"detailCode":")";
    text.append(*code);
    text.append("\"}");
    return text;
}

int print_status_result(const Outcome<void>& outcome) {
    print_line(detail_code_envelope(
        outcome ? std::nullopt : std::optional<std::string_view>(to_text(outcome.error()))));
    return outcome ? 0 : 1;
}

int print_result_line(const std::optional<std::string>& line, bool success, std::string_view what) {
    if (!line) {
        std::fprintf(stderr, "%.*s must serialize\n", static_cast<int>(what.size()), what.data());
        std::abort();
    }
    print_line(*line);
    return success ? 0 : 1;
}

}  // namespace velnaro
