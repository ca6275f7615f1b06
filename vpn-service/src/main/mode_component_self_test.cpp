#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "main/modes.hpp"
#include "main/output.hpp"
#include "platform/log.hpp"
#include "wireguard/tunnel_service_mode.hpp"

namespace velnaro {
namespace {

[[noreturn]] void abort_with(const char* message) {
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

// Detail codes are upper-case identifiers, which is what lets them be written without
// escaping; anything else here is a broken code table, not an outcome to report.
bool is_detail_code_text(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text) {
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    }
    return true;
}

// The record has fixed members and no free text, so it is written directly.
std::string serialize(const ComponentSelfTestResult& result) {
    const std::string_view flag = result.success ? "true" : "false";
    std::string json;
    json.reserve(128);
    json.append(R"({"success":)").append(flag);
    json.append(R"(,"componentArchitecture":"x86_64","keyGenerationAvailable":)").append(flag);
    json.append(R"(,"detailCode":)");
    if (!result.failure) {
        json.append("null}");
        return json;
    }
    const std::string_view code = to_text(result.failure->code);
    if (!is_detail_code_text(code))
        abort_with("component self-test must serialize");
    json.append("\"").append(code).append("\"}");
    return json;
}

}  // namespace

int run_component_self_test_mode(Runtime& runtime) {
    const ComponentSelfTestResult result = component_self_test(runtime);
    platform::log_failure(runtime.platform.log, result.failure);
    print_line(serialize(result));
    return result.success ? 0 : 1;
}

}  // namespace velnaro
