// Prints the systemd unit of the service executable at the given path: the very text that
// `vpn-service --install-service` writes for it. Installations and packages take their unit
// from here, so there is one definition of it. With --ranges first: the service's early-boot
// companion, which holds the tunnel's ranges before any network is configured.
#include <cstdio>
#include <string_view>

#include "platform/posix/systemd/unit_file.hpp"
#include "service_manager/service_commands.hpp"

int main(int argc, char** argv) {
    const bool ranges = argc == 3 && std::string_view(argv[1]) == "--ranges";
    if ((argc != 2 && !ranges) || argv[argc - 1][0] != '/') {
        std::fputs("usage: render-unit [--ranges] /absolute/path/of/vpn-service\n", stderr);
        return 2;
    }
    const auto registration = velnaro::service_registration(argv[argc - 1]);
    const auto text =
        ranges ? velnaro::platform::render_ranges_unit_file(registration)
               : velnaro::platform::render_unit_file(registration, velnaro::kServiceDescription);
    if (!text) {
        std::fputs("render-unit: the path does not fit on one line of a unit\n", stderr);
        return 1;
    }
    return std::fwrite(text->data(), 1, text->size(), stdout) == text->size() ? 0 : 1;
}
