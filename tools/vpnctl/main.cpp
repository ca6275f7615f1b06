// vpnctl: one request to the VPN service per call. Prints the response JSON; exit status 0
// for any answer but ERROR, 1 for ERROR or when the service cannot be reached, 2 for usage.
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "core/detail_code.hpp"
#include "ipc/client.hpp"
#include "platform/arguments.hpp"
#include "platform/native.hpp"
#include "requests.hpp"

namespace {

constexpr const char* kUsage =
    "usage: vpnctl version|status|identity|apply FILE.json|start|stop|repair|"
    "rotate prepare|commit|abort|raw JSON\n";

std::optional<std::string> read_text_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool is_error_response(const std::string& body) {
    const auto value = nlohmann::json::parse(body, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return true;
    const auto type = value.find("type");
    return type == value.end() || !type->is_string() || type->get<std::string>() == "ERROR";
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words = velnaro::platform::program_arguments(argc, argv);
    const auto request = velnaro::vpnctl::request_for(words, read_text_file);
    if (!request) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    velnaro::platform::NativePlatform native;
    const auto answer = velnaro::send_request(native.get(), *request);
    if (!answer) {
        // The codes of the connection step name the self-test; say plainly what happened.
        const std::string code(velnaro::to_text(answer.error()));
        const std::string pipe(velnaro::kServicePipeName);
        std::fprintf(stderr, "vpnctl: no answer from the service on %s (%s)\n", pipe.c_str(),
                     code.c_str());
        return 1;
    }
    const std::string body(answer->begin(), answer->end());
    std::printf("%s\n", body.c_str());
    return is_error_response(body) ? 1 : 0;
}
