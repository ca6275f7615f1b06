// Prints the systemd unit of the service executable at the given path: the very text that
// `vpn-service --install-service` writes for it. Installations and packages take their unit
// from here, so there is one definition of it.
#include <cstdio>
#include <string_view>

#include "platform/posix/systemd/unit_file.hpp"
#include "service_manager/service_commands.hpp"

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] != '/') {
        std::fputs("usage: render-unit /absolute/path/of/vpn-service\n", stderr);
        return 2;
    }
    const auto text = velnaro::platform::render_unit_file(velnaro::service_registration(argv[1]),
                                                          velnaro::kServiceDescription);
    if (!text) {
        std::fputs("render-unit: the path does not fit on one line of a unit\n", stderr);
        return 1;
    }
    return std::fwrite(text->data(), 1, text->size(), stdout) == text->size() ? 0 : 1;
}
