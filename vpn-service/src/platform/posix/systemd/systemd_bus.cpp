#include "platform/posix/systemd/systemd_bus.hpp"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <utility>

namespace velnaro::platform {
namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
constexpr const char* kServiceInterface = "org.freedesktop.systemd1.Service";
constexpr const char* kPrivateSocket = "/run/systemd/private";

sd_bus* open_private_socket() {
    if (::access(kPrivateSocket, F_OK) != 0)
        return nullptr;
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        return nullptr;
    if (sd_bus_set_address(bus, "unix:path=/run/systemd/private") < 0 || sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

// Frees what sd-bus handed out when the call ends.
struct CallScope {
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C compound literal
    sd_bus_message* reply = nullptr;
    ~CallScope() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
    }
};

// The reply to a call sent ahead, kept by the call's callback until it is read.
struct AwaitedReply {
    sd_bus_message* reply = nullptr;
    AwaitedReply() = default;
    AwaitedReply(const AwaitedReply&) = delete;
    AwaitedReply& operator=(const AwaitedReply&) = delete;
    ~AwaitedReply() { sd_bus_message_unref(reply); }
};

int keep_reply(sd_bus_message* message, void* awaited, sd_bus_error*) {
    static_cast<AwaitedReply*>(awaited)->reply = sd_bus_message_ref(message);
    return 1;
}

// Sends `message`, runs `meanwhile` while systemd works on it, then waits for the reply. An
// error reply, a broken connection and the bus's time-out (both of which sd-bus delivers as
// error replies) come back as a negative error number, as from sd_bus_call.
int call_meanwhile(sd_bus* bus, sd_bus_message* message, const std::function<void()>& meanwhile,
                   AwaitedReply& awaited) {
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_call_async(bus, &slot, message, keep_reply, &awaited, 0);
    if (r < 0)
        return r;
    if (meanwhile)
        meanwhile();
    while (awaited.reply == nullptr && r >= 0) {
        r = sd_bus_process(bus, nullptr);
        if (r == 0)
            r = sd_bus_wait(bus, UINT64_MAX);
    }
    sd_bus_slot_unref(slot);
    if (r < 0)
        return r;
    const int error = sd_bus_message_get_errno(awaited.reply);
    return error > 0 ? -error : 1;
}

}  // namespace

OsResult<SystemdBus> SystemdBus::connect() {
    sd_bus* bus = ::geteuid() == 0 ? open_private_socket() : nullptr;
    if (bus == nullptr) {
        if (const int r = sd_bus_open_system(&bus); r < 0)
            return std::unexpected(
                OsError{static_cast<std::uint32_t>(-r), "sd_bus_open_system", "system bus"});
    }
    return SystemdBus(bus);
}

SystemdBus::SystemdBus(SystemdBus&& other) noexcept
    : bus_(std::exchange(other.bus_, nullptr)),
      last_error_(other.last_error_),
      job_watch_(std::exchange(other.job_watch_, nullptr)),
      last_job_(std::move(other.last_job_)),
      last_job_removed_(other.last_job_removed_) {
    if (job_watch_ != nullptr)
        sd_bus_slot_set_userdata(job_watch_, this);
}

SystemdBus::~SystemdBus() {
    sd_bus_slot_unref(job_watch_);
    if (bus_ != nullptr)
        sd_bus_flush_close_unref(bus_);
}

bool SystemdBus::ready() {
    if (sd_bus_is_open(bus_) <= 0)
        return false;
    int r = 0;
    while ((r = sd_bus_process(bus_, nullptr)) > 0) {
    }
    last_error_ = r < 0 ? -r : 0;
    return r >= 0 && sd_bus_is_open(bus_) > 0;
}

bool SystemdBus::reload() {
    CallScope call;
    const int r = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, "Reload",
                                     &call.error, &call.reply, "");
    last_error_ = r < 0 ? -r : 0;
    return r >= 0;
}

bool SystemdBus::reset_failed_unit(std::string_view unit) {
    const std::string name(unit);
    CallScope call;
    const int r = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface,
                                     "ResetFailedUnit", &call.error, &call.reply, "s", name.c_str());
    last_error_ = r < 0 ? -r : 0;
    return r >= 0;
}

// JobRemoved(u id, o job, s unit, s result). sd_bus_call queues the signals that arrive
// before its reply and dispatches none, so a job that ends before its path is read still
// matches here, when the bus is next processed. systemd's other jobs are not kept.
void SystemdBus::note_job_removed(const char* job) {
    if (!last_job_.empty() && last_job_ == job)
        last_job_removed_ = true;
}

namespace {

int on_job_removed(sd_bus_message* message, void* bus, sd_bus_error*) {
    std::uint32_t id = 0;
    const char* job = nullptr;
    if (sd_bus_message_read(message, "uo", &id, &job) >= 0 && job != nullptr)
        static_cast<SystemdBus*>(bus)->note_job_removed(job);
    return 0;
}

}  // namespace

// The match first, then Subscribe: systemd signals job changes only to subscribed clients of
// the bus (its private socket tells every client anyway; subscribing there is harmless).
bool SystemdBus::watch_jobs() {
    if (job_watch_ != nullptr)
        return true;
    int r = sd_bus_match_signal(bus_, &job_watch_, kDestination, kManagerPath, kManagerInterface,
                                "JobRemoved", on_job_removed, this);
    if (r >= 0) {
        CallScope call;
        r = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, "Subscribe",
                               &call.error, &call.reply, "");
    }
    if (r < 0) {
        job_watch_ = sd_bus_slot_unref(job_watch_);
        last_error_ = -r;
        return false;
    }
    return true;
}

bool SystemdBus::queue_job(const char* method, std::string_view unit) {
    last_job_.clear();
    last_job_removed_ = false;
    if (!watch_jobs())
        return false;
    const std::string name(unit);
    CallScope call;
    int r = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, method,
                               &call.error, &call.reply, "ss", name.c_str(), "replace");
    const char* job = nullptr;
    if (r >= 0)
        r = sd_bus_message_read(call.reply, "o", &job);
    last_error_ = r < 0 ? -r : 0;
    if (r < 0)
        return false;
    last_job_ = job;
    return true;
}

bool SystemdBus::start_unit(std::string_view unit) {
    return queue_job("StartUnit", unit);
}

bool SystemdBus::stop_unit(std::string_view unit) {
    return queue_job("StopUnit", unit);
}

bool SystemdBus::job_removed(const std::string& job) {
    int r = 0;
    while ((r = sd_bus_process(bus_, nullptr)) > 0) {
    }
    last_error_ = r < 0 ? -r : 0;
    return last_job_removed_ && job == last_job_;
}

int SystemdBus::descriptor() const {
    return sd_bus_get_fd(bus_);
}

short SystemdBus::events_awaited() const {
    const int events = sd_bus_get_events(bus_);
    return static_cast<short>(events > 0 ? events : POLLIN);
}


// EnableUnitFiles(as files, runtime, force) and DisableUnitFiles(as files, runtime).
bool SystemdBus::call_unit_files(const char* method, std::string_view unit) {
    const std::string name(unit);
    const char* names[] = {name.c_str(), nullptr};
    sd_bus_message* message = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &message, kDestination, kManagerPath,
                                           kManagerInterface, method);
    if (r >= 0)
        r = sd_bus_message_append_strv(message, const_cast<char**>(names));
    if (r >= 0)
        r = sd_bus_message_append(message, "b", 0);
    if (r >= 0 && std::string_view(method) == "EnableUnitFiles")
        r = sd_bus_message_append(message, "b", 1);
    CallScope call;
    if (r >= 0)
        r = sd_bus_call(bus_, message, 0, &call.error, &call.reply);
    sd_bus_message_unref(message);
    last_error_ = r < 0 ? -r : 0;
    return r >= 0;
}

bool SystemdBus::enable_unit_file(std::string_view unit) {
    return call_unit_files("EnableUnitFiles", unit);
}

bool SystemdBus::disable_unit_file(std::string_view unit) {
    return call_unit_files("DisableUnitFiles", unit);
}

std::optional<std::string> SystemdBus::unit_path(std::string_view unit) {
    const std::string name(unit);
    CallScope call;
    int r = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, "LoadUnit",
                               &call.error, &call.reply, "s", name.c_str());
    const char* path = nullptr;
    if (r >= 0)
        r = sd_bus_message_read(call.reply, "o", &path);
    last_error_ = r < 0 ? -r : 0;
    if (r < 0 || path == nullptr)
        return std::nullopt;
    return std::string(path);
}

// One call for the three states. ListUnitsByPatterns lists only the units systemd holds,
// where ListUnitsByNames would first load the unit from its file: systemd lets go of a unit
// that stopped without failing, and loading it again meant parsing its file for every poll
// of a stopped tunnel. A unit it does not hold is therefore stopped (a unit name has no
// pattern characters, so the pattern is the name). How a service ended matters only once it
// has failed (systemd keeps failed units), and is read only then.
std::optional<SystemdBus::UnitState> SystemdBus::unit_state(
    std::string_view unit, const std::function<void()>& meanwhile) {
    const std::string name(unit);
    const char* names[] = {name.c_str(), nullptr};
    const char* any_state[] = {nullptr};
    sd_bus_message* message = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &message, kDestination, kManagerPath,
                                           kManagerInterface, "ListUnitsByPatterns");
    if (r >= 0)
        r = sd_bus_message_append_strv(message, const_cast<char**>(any_state));
    if (r >= 0)
        r = sd_bus_message_append_strv(message, const_cast<char**>(names));
    AwaitedReply call;
    if (r >= 0)
        r = call_meanwhile(bus_, message, meanwhile, call);
    sd_bus_message_unref(message);
    const char *id = nullptr, *description = nullptr, *load = nullptr, *active = nullptr,
               *sub = nullptr, *following = nullptr, *path = nullptr, *job_type = nullptr,
               *job_path = nullptr;
    std::uint32_t job_id = 0;
    if (r >= 0)
        r = sd_bus_message_enter_container(call.reply, 'a', "(ssssssouso)");
    if (r >= 0)
        r = sd_bus_message_read(call.reply, "(ssssssouso)", &id, &description, &load, &active, &sub,
                                &following, &path, &job_id, &job_type, &job_path);
    if (r < 0) {
        last_error_ = -r;
        return std::nullopt;
    }
    if (r == 0)
        return UnitState{"", "inactive", "dead", {}, 0, ""};  // not held: stopped
    UnitState state{load, active, sub, {}, 0, job_type};
    if (state.active_state != "failed" || state.load_state != "loaded")
        return state;  // a unit without a file has no service properties
    CallScope get;
    char* result = nullptr;
    r = sd_bus_get_property_string(bus_, kDestination, path, kServiceInterface, "Result",
                                   &get.error, &result);
    if (r >= 0) {
        state.result = result;
        free(result);
        CallScope status;
        r = sd_bus_get_property_trivial(bus_, kDestination, path, kServiceInterface,
                                        "ExecMainStatus", &status.error, 'i',
                                        &state.exec_main_status);
    }
    if (r < 0) {
        last_error_ = -r;
        return std::nullopt;
    }
    return state;
}

bool SystemdBus::needs_reload(std::string_view unit) {
    auto path = unit_path(unit);
    if (!path)
        return true;
    CallScope call;
    int value = 1;
    const int r = sd_bus_get_property_trivial(bus_, kDestination, path->c_str(), kUnitInterface,
                                              "NeedDaemonReload", &call.error, 'b', &value);
    last_error_ = r < 0 ? -r : 0;
    return r < 0 || value != 0;
}

}  // namespace velnaro::platform
