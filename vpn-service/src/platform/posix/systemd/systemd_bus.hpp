#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/os_error.hpp"

struct sd_bus;
struct sd_bus_slot;

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
    // Queue the unit's job; its object path is then last_job(). The connection hears of every
    // job's removal from the first one on (the match is in place before the job is asked for,
    // so a job that ends before its reply arrives is not missed).
    bool start_unit(std::string_view unit);
    bool stop_unit(std::string_view unit);
    const std::string& last_job() const { return last_job_; }

    // Whether systemd has removed the job last queued (`job`): it finished, failed or was
    // cancelled. Processes what the connection holds, never waits.
    bool job_removed(const std::string& job);
    // The connection's descriptor and the events to wait for on it before job_removed can tell
    // more; the wait itself is the caller's (it must not hold the connection meanwhile).
    int descriptor() const;
    short events_awaited() const;
    // What the connection's JobRemoved match calls with the removed job's path.
    void note_job_removed(const char* job);
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
    bool queue_job(const char* method, std::string_view unit);
    bool watch_jobs();
    bool call_unit_files(const char* method, std::string_view unit);
    std::optional<std::string> unit_path(std::string_view unit);

    sd_bus* bus_ = nullptr;
    int last_error_ = 0;
    sd_bus_slot* job_watch_ = nullptr;  // the JobRemoved match, once a job was asked for
    std::string last_job_;
    bool last_job_removed_ = false;
};

}  // namespace velnaro::platform
