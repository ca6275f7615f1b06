// vpnctl: one request to the VPN service per call. Prints the response JSON; exit status 0
// for any answer but ERROR, 1 for ERROR or when the service cannot be reached, 2 for usage,
// 3 when the server holding the pipe is not the privileged service.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/arguments.hpp"
#include "platform/native.hpp"
#include "session.hpp"

namespace {

std::optional<std::string> read_text_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> words = velnaro::platform::program_arguments(argc, argv);
    velnaro::platform::NativePlatform native;
    const auto outcome = velnaro::vpnctl::run(native.get(), words, read_text_file);
    std::fwrite(outcome.standard_output.data(), 1, outcome.standard_output.size(), stdout);
    std::fwrite(outcome.standard_error.data(), 1, outcome.standard_error.size(), stderr);
    return outcome.exit_status;
}
