#include <cstdio>
#include <string>

#include "main/modes.hpp"
#include "service/service_host.hpp"

namespace velnaro {

namespace {

// What a person who started a second instance by hand reads (on Linux the service then runs
// in the foreground; under a service manager this goes to its log).
void explain_lost_door(DetailCode code, std::string_view pipe_name) {
    const std::string name(pipe_name);
    const std::string text =
        code == DetailCode::IPC_PIPE_IN_USE
            ? "vpn-service: the service is already running: another process serves " + name
            : "vpn-service: cannot serve " + name;
    std::fprintf(stderr, "%s (%s)\n", text.c_str(), std::string(to_text(code)).c_str());
    std::fflush(stderr);
}

}  // namespace

int run_service_mode(Runtime& runtime) {
    ServiceProcess process{runtime};
    const std::uint32_t result = run_service(process);
    if (const auto failure = process.server_outcome.failure()) {
        explain_lost_door(*failure, process.pipe_name);
        return 1;
    }
    return result == 0 ? 0 : 1;
}

}  // namespace velnaro
