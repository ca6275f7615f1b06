#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/os_error.hpp"

struct sd_bus;

namespace velnaro::platform {

// One connection to systemd's manager over D-Bus. As root, systemd's private socket is used
// first (it serves even where no system bus runs, as it does for systemctl); otherwise, or
// when it is missing, the system bus.
class SystemdBus {
  public:
    static OsResult<SystemdBus> connect();
    SystemdBus(SystemdBus&& other) noexcept;
    SystemdBus& operator=(SystemdBus&&) = delete;
    SystemdBus(const SystemdBus&) = delete;
    ~SystemdBus();

    struct UnitState {
        // "loaded", "not-found", ...; empty for a unit systemd does not hold (a stopped one)
        std::string load_state;
        std::string active_state;
        std::string sub_state;
        std::string result;        // the service's last Result; read only once it failed
        int exec_main_status = 0;  // likewise
        std::string job_type;      // the job queued for the unit ("stop", ...), empty if none
    };

    // Whether the connection still stands, after reading and dropping what systemd sent unasked
    // (it tells every client of its private socket of every unit change; unread, that would
    // pile up on both sides of a connection that is kept).
    bool ready();

    // Every call returns false (or nothing) on failure, with the error number in last_error().
    bool reload();
    bool start_unit(std::string_view unit);
    bool stop_unit(std::string_view unit);
    bool reset_failed_unit(std::string_view unit);
    bool enable_unit_file(std::string_view unit);
    bool disable_unit_file(std::string_view unit);
    // `meanwhile` runs after the question has gone out, while systemd answers it.
    std::optional<UnitState> unit_state(std::string_view unit,
                                        const std::function<void()>& meanwhile = {});
    // Whether systemd holds the unit from a file that changed since; true when it cannot tell.
    bool needs_reload(std::string_view unit);
    int last_error() const { return last_error_; }

  private:
    explicit SystemdBus(sd_bus* bus) : bus_(bus) {}
    bool call_unit_mode(const char* method, std::string_view unit, bool with_mode);
    bool call_unit_files(const char* method, std::string_view unit);
    std::optional<std::string> unit_path(std::string_view unit);

    sd_bus* bus_ = nullptr;
    int last_error_ = 0;
};

}  // namespace velnaro::platform
