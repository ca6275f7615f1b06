#include "main/output.hpp"

#include <cstdio>

namespace velnaro {

void print_line(std::string_view text) {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void print_usage() {
    static constexpr std::string_view kUsage =
        "VelnaroVpnService: utilisez --service-status, --self-test, --component-self-test ou "
        "--identity-self-test.\n";
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

}  // namespace velnaro
