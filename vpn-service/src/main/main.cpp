// Program entry of vpn-service: collects the arguments as UTF-8 text and hands them to the
// mode dispatcher together with the platform and the process-wide component cell.
#include <string>
#include <vector>

#include "main/entry.hpp"
#include "platform/arguments.hpp"
#include "platform/native.hpp"
#include "wireguard/components.hpp"

int main(int argc, char** argv) {
    velnaro::platform::use_binary_standard_streams();
    velnaro::platform::NativePlatform native;
    velnaro::wireguard::ComponentCell components;
    velnaro::Runtime runtime{native.get(), components};
    const std::vector<std::string> args = velnaro::platform::program_arguments(argc, argv);
    return velnaro::run_entry(runtime, args);
}
