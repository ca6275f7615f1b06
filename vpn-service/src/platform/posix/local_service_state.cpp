#include "platform/posix/local_service_state.hpp"

#include <unistd.h>

#include "platform/posix/local_services_db.hpp"

namespace velnaro::platform {

bool report_local_service_state(std::string_view service_name, std::uint32_t state) {
    using namespace local_services;
    if (state < service_state::kStopped || state > service_state::kPaused)
        return false;
    auto key = service_key(service_name);
    if (!key)
        return false;
    const std::string database = database_directory(program_data_root());
    DatabaseLock lock(database);
    if (!lock.held() || !load_registration(database, *key))
        return false;

    const pid_t self = ::getpid();
    auto own_start_time = process_start_time(self);
    if (!own_start_time)
        return false;
    auto recorded = load_runtime_state(database, *key);
    const bool same_process =
        recorded && recorded->pid == self && recorded->start_time == *own_start_time;
    if (recorded && !same_process && is_recorded_process_alive(*recorded) &&
        recorded->reported_state != service_state::kStopped) {
        return false;
    }
    RuntimeState next{self, *own_start_time, current_boot_id(), state,
                      same_process && recorded->stop_requested};
    return write_file_atomically(state_path(database, *key), encode_runtime_state(next));
}

}  // namespace velnaro::platform
