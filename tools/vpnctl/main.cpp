// vpnctl: the command-line client of the VPN service. `vpnctl --help` lists its commands;
// the exit statuses are 0 answered, 1 an ERROR answer (or no answer, or --wait timed out),
// 2 usage or input error, 3 the server is not the service, 4 the service is not running,
// 5 --wait met a tunnel failure that only a new change clears.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/arguments.hpp"
#include "platform/native.hpp"
#include "session.hpp"

namespace {

// A configuration is sent in one frame of at most 64 KiB, so reading stops a little past
// that: a device or an endless pipe given by mistake is not read to its end.
constexpr std::size_t kReadLimit = 1024 * 1024;

std::expected<std::string, std::string> read_all(std::FILE* file) {
    std::string text;
    std::vector<char> chunk(16384);
    for (;;) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file);
        text.append(chunk.data(), got);
        if (text.size() > kReadLimit)
            return std::unexpected(std::string("larger than 1 MiB"));
        if (got < chunk.size()) {
            if (std::ferror(file))
                return std::unexpected(std::string(std::strerror(errno)));
            return text;
        }
    }
}

std::expected<std::string, std::string> read_configuration(const std::string& path) {
    if (path == "-")
        return read_all(stdin);
    errno = 0;
    std::FILE* file = velnaro::platform::open_for_reading(path);
    if (!file)
        return std::unexpected(std::string(std::strerror(errno)));
    auto text = read_all(file);
    std::fclose(file);
    return text;
}

void write_to(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    // --watch prints as it goes, also into a pipe.
    std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
    velnaro::platform::use_binary_standard_streams();
    const std::vector<std::string> words = velnaro::platform::program_arguments(argc, argv);
    velnaro::platform::NativeClientPlatform native;
    const velnaro::vpnctl::Console console{[](std::string_view text) { write_to(stdout, text); },
                                           [](std::string_view text) { write_to(stderr, text); }};
    return velnaro::vpnctl::run(native.get(), words, read_configuration, console);
}
