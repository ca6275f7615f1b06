#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "main/modes.hpp"
#include "main/output.hpp"
#include "wireguard/tunnel_service_mode.hpp"

namespace velnaro {
namespace {

[[noreturn]] void abort_with(const char* message) {
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::abort();
}

std::string serialize(const ComponentSelfTestResult& result) {
    nlohmann::ordered_json json;
    json["success"] = result.success;
    json["componentArchitecture"] = "x86_64";
    json["keyGenerationAvailable"] = result.success;
    if (result.detail_code) {
        json["detailCode"] = std::string(to_text(*result.detail_code));
    } else {
        json["detailCode"] = nullptr;
    }
    std::string text;
    text.reserve(128);
    text += json.dump();
    return text;
}

}  // namespace

int run_component_self_test_mode(Runtime& runtime) {
    const ComponentSelfTestResult result = component_self_test(runtime);
    std::string line;
    try {
        line = serialize(result);
    } catch (...) {
        abort_with("component self-test must serialize");
    }
    print_line(line);
    return result.success ? 0 : 1;
}

}  // namespace velnaro
