#include "platform/posix/systemd/systemd_service_control.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/posix/fd_io.hpp"
#include "platform/posix/owned_fd.hpp"
#include "platform/posix/systemd/unit_file.hpp"
#include "platform/posix/text_file.hpp"

namespace velnaro::platform {
namespace {

// A stop takes the service a few milliseconds; its own time-out is systemd's.
constexpr auto kRemovalStopWait = std::chrono::seconds(15);
constexpr auto kRemovalStopPoll = std::chrono::milliseconds(10);
// The longest a job's wait sleeps on the connection before it looks again: a status read on
// another thread may take the job's signal off the connection while this waits without the
// lock, and the wait then sees it only when it looks again.
constexpr auto kJobWaitSlice = std::chrono::milliseconds(100);

std::string unit_path(std::string_view unit) {
    return std::string(kUnitDirectory) + "/" + std::string(unit);
}

bool regular_file_at(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool unit_file_exists(std::string_view unit) {
    return regular_file_at(unit_path(unit));
}

// A unit a package installed: registered as well, though not by a registration of ours. Its
// file is the package's to remove, never the service's.
bool vendor_unit_exists(std::string_view unit) {
    for (std::string_view folder : kVendorUnitDirectories) {
        if (regular_file_at(std::string(folder) + "/" + std::string(unit)))
            return true;
    }
    return false;
}

// The one link enabling makes: the unit's [Install] section is wanted by multi-user.target.
bool enablement_link_exists(std::string_view unit, std::string_view target = "multi-user.target") {
    struct stat info {};
    const std::string link =
        std::string(kUnitDirectory) + "/" + std::string(target) + ".wants/" + std::string(unit);
    return ::lstat(link.c_str(), &info) == 0;
}

// Deletes a temporary file that will not be used, keeping the errno of the call that failed.
bool discard_temporary(const std::string& temporary) {
    const int failed_with = errno;
    ::unlink(temporary.c_str());
    errno = failed_with;
    return false;
}

// A temporary file beside the unit, synced, renamed over it, then the folder synced: systemd
// never reads half a unit, and the registration survives a crash.
bool replace_file(const std::string& path, std::string_view content) {
    const std::string temporary = path + ".tmp";
    ::unlink(temporary.c_str());
    {
        OwnedFd fd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!fd || ::fchmod(fd.get(), 0644) != 0 ||
            !write_exactly(fd.get(), {reinterpret_cast<const std::uint8_t*>(content.data()),
                                      content.size()}) ||
            ::fsync(fd.get()) != 0) {
            return discard_temporary(temporary);
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        return discard_temporary(temporary);
    OwnedFd directory(
        ::open(std::string(kUnitDirectory).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return directory && ::fsync(directory.get()) == 0;
}

// A unit's file as it stands; a link put in its place is not followed.
std::optional<std::string> read_unit_file(std::string_view unit) {
    return read_text_file(unit_path(unit), O_NOFOLLOW);
}

// What systemd reads of a unit: every line but the comments.
std::string directives_of(std::string_view text) {
    std::string out;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (!line.starts_with('#') && !line.starts_with(';'))
            out.append(line).push_back('\n');
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }
    return out;
}

// The description a unit carries: the comment line right after the first one (the unit
// file's own layout, render_unit_file).
std::string description_in(std::string_view text) {
    const std::size_t first_end = text.find('\n');
    if (first_end == std::string_view::npos || !text.substr(first_end + 1).starts_with("# "))
        return {};
    const std::string_view rest = text.substr(first_end + 3);
    return std::string(rest.substr(0, rest.find('\n')));
}

// A refused systemd call or file write: its error goes to the caller, whose failure keeps it
// as its cause up to the place that logs the failure.
std::unexpected<OsError> refused(std::string_view what, int os_error, std::string_view unit) {
    return std::unexpected(
        OsError{static_cast<std::uint32_t>(os_error), std::string(what), std::string(unit)});
}

// The bus's error is read here, once the call has run: read among the call's arguments, it
// could be taken before the call sets it.
OsResult<void> checked(bool ok, std::string_view what, const SystemdBus& bus,
                       std::string_view unit) {
    if (!ok)
        return refused(what, bus.last_error(), unit);
    return {};
}

// What a handle of the wrong kind, or without the rights the call needs, is told (the
// Windows manager answers ERROR_ACCESS_DENIED or ERROR_INVALID_HANDLE).
std::unexpected<OsError> bad_handle(std::string_view operation) {
    return std::unexpected(OsError{EBADF, std::string(operation), ""});
}

// Whether the unit's stop was asked for and has not ended yet: a queued stop job, or the unit
// on its way down.
bool stop_under_way(SystemdBus& bus, std::string_view unit) {
    const auto state = bus.unit_state(unit);
    return state && (state->job_type == "stop" || state->active_state == "deactivating");
}

// Waits, bounded, for a stop already asked for to end. A unit reloaded while still up keeps
// what it had set up for its processes until systemd has torn that down, and a unit that
// fails on its way down stays listed as failed until its failure is reset: removal goes on
// once the unit is down.
void await_stop(SystemdBus& bus, std::string_view unit) {
    const auto deadline = std::chrono::steady_clock::now() + kRemovalStopWait;
    while (stop_under_way(bus, unit) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kRemovalStopPoll);
}

constexpr std::uint32_t kManagerRights = access::kManagerConnect | access::kManagerCreateService;
constexpr std::uint32_t kServiceRights =
    access::kServiceQueryConfig | access::kServiceChangeConfig | access::kServiceQueryStatus |
    access::kServiceStart | access::kServiceStop | access::kDelete;
constexpr std::uint32_t kServiceReadRights =
    access::kServiceQueryConfig | access::kServiceQueryStatus;

}  // namespace

ScHandle SystemdServiceControl::add_entry(Entry entry) {
    const std::uintptr_t value = next_handle_++;
    entries_.emplace(value, std::move(entry));
    return ScHandle{value};
}

SystemdServiceControl::Entry* SystemdServiceControl::entry_of(ScHandle handle, bool want_manager,
                                                              std::uint32_t needed) {
    auto found = entries_.find(handle.value);
    if (found == entries_.end() || found->second.is_manager != want_manager ||
        (found->second.access & needed) != needed) {
        return nullptr;
    }
    return &found->second;
}

OsResult<OwnedScHandle> SystemdServiceControl::open_manager(std::uint32_t access) {
    if ((access & ~kManagerRights) != 0)
        return std::unexpected(OsError{EINVAL, "open_manager", ""});
    // Registering writes into /etc/systemd/system: root only, as on Windows administrators.
    if ((access & access::kManagerCreateService) != 0 && ::geteuid() != 0)
        return std::unexpected(OsError{EACCES, "open_manager", std::string(kUnitDirectory)});
    std::lock_guard lock(mutex_);
    auto bus = kept_bus();
    if (!bus)
        return refused("connecting", static_cast<int>(bus.error().code), bus.error().subject);
    return own(add_entry(Entry{std::move(*bus), true, access, {}, {}, {}}));
}

// Connecting costs more than the query a status poll makes, so one connection serves every
// manager handle for the life of the process. It is checked on each use (what systemd sent
// unasked is read and dropped then) and opened again only when it broke; a call on a
// connection that breaks under it fails and is answered as a failure, never from an earlier
// answer.
OsResult<std::shared_ptr<SystemdBus>> SystemdServiceControl::kept_bus() {
    if (!bus_ || !bus_->ready()) {
        bus_.reset();
        auto fresh = SystemdBus::connect();
        if (!fresh)
            return std::unexpected(fresh.error());
        bus_ = std::make_shared<SystemdBus>(std::move(*fresh));
    }
    return bus_;
}

std::expected<OwnedScHandle, OpenServiceError> SystemdServiceControl::open_service(
    ScHandle manager, std::string_view name, std::uint32_t access) {
    auto refused_open = [&](OpenServiceFailure kind, int code) {
        return std::unexpected(OpenServiceError{
            kind, OsError{static_cast<std::uint32_t>(code), "open_service", std::string(name)}});
    };
    std::lock_guard lock(mutex_);
    Entry* owner = entry_of(manager, true, 0);
    auto unit = unit_name_for(name);
    if (owner == nullptr)
        return refused_open(OpenServiceFailure::failed, EBADF);
    if (!unit || (access & ~kServiceRights) != 0)
        return refused_open(OpenServiceFailure::failed, EINVAL);
    // Changing, starting, stopping or deleting a unit is root's, as on Windows the
    // administrators': anyone else is refused, not told that the service is absent.
    if ((access & ~kServiceReadRights) != 0 && ::geteuid() != 0)
        return refused_open(OpenServiceFailure::access_denied, EACCES);
    if (!unit_file_exists(*unit) && !vendor_unit_exists(*unit))
        return refused_open(OpenServiceFailure::missing, ENOENT);
    return own(add_entry(Entry{owner->bus, false, access, *unit, {}, {}}));
}

OsResult<void> SystemdServiceControl::write_unit(Entry& service,
                                                 const ServiceRegistration& registration,
                                                 std::string_view description) {
    auto text = render_unit_file(registration, description);
    if (!text)
        return refused("a unit line that would break", EINVAL, service.unit);
    // A reload makes systemd read every unit again, which takes it a good part of a second:
    // it is asked for only when systemd may hold other directives for this unit. An unchanged
    // file is left as it is; a new one systemd reads when the unit is first used (the folder
    // changed since it last looked), unless it still holds a unit of that name whose file went
    // away without a reload.
    const auto previous = read_unit_file(service.unit);
    if (previous != *text && !replace_file(unit_path(service.unit), *text))
        return refused("writing the unit", errno, unit_path(service.unit));
    if (previous != *text &&
        (previous ? directives_of(*previous) != directives_of(*text)
                  : service.bus->needs_reload(service.unit)) &&
        !service.bus->reload()) {
        return refused("Reload", service.bus->last_error(), service.unit);
    }
    service.registration = registration;
    if (auto companion = write_ranges_unit(*service.bus, registration); !companion)
        return companion;
    // Automatic start: enabled, so that systemd starts it at boot. systemd's calls for that
    // search every unit folder (milliseconds, on each APPLY_CONFIG), so they are made only
    // when the link they add or remove is not as the start type wants it.
    const bool automatic = registration.start_type == kServiceAutoStart;
    if (enablement_link_exists(service.unit) == automatic)
        return {};
    if (automatic)
        return checked(service.bus->enable_unit_file(service.unit), "EnableUnitFiles",
                       *service.bus, service.unit);
    return checked(service.bus->disable_unit_file(service.unit), "DisableUnitFiles",
                   *service.bus, service.unit);
}

// The service's early-boot companion, written and enabled with it (nothing for another unit).
// systemd reads a new file when the unit is first used, so only a changed one asks for a
// reload.
OsResult<void> SystemdServiceControl::write_ranges_unit(SystemdBus& bus,
                                                        const ServiceRegistration& registration) {
    const auto text = render_ranges_unit_file(registration);
    if (!text)
        return {};
    const auto previous = read_unit_file(kRangesUnit);
    if (previous != *text && !replace_file(unit_path(kRangesUnit), *text))
        return refused("writing the unit", errno, unit_path(kRangesUnit));
    if (previous && previous != *text && !bus.reload())
        return refused("Reload", bus.last_error(), std::string(kRangesUnit));
    if (enablement_link_exists(kRangesUnit, "sysinit.target"))
        return {};
    return checked(bus.enable_unit_file(kRangesUnit), "EnableUnitFiles", bus,
                   std::string(kRangesUnit));
}

OsResult<OwnedScHandle> SystemdServiceControl::create_service(
    ScHandle manager, const ServiceRegistration& registration, std::uint32_t access) {
    std::lock_guard lock(mutex_);
    Entry* owner = entry_of(manager, true, access::kManagerCreateService);
    auto unit = unit_name_for(registration.name);
    if (owner == nullptr)
        return bad_handle("create_service");
    if (!unit || (access & ~kServiceRights) != 0)
        return std::unexpected(OsError{EINVAL, "create_service", registration.name});
    if (unit_file_exists(*unit))
        return std::unexpected(OsError{EEXIST, "create_service", unit_path(*unit)});
    Entry service{owner->bus, false, access, *unit, {}, {}};
    if (auto written = write_unit(service, registration, {}); !written)
        return std::unexpected(written.error());
    return own(add_entry(std::move(service)));
}

OsResult<void> SystemdServiceControl::change_service_config(
    ScHandle service, const ServiceRegistration& registration) {
    std::lock_guard lock(mutex_);
    Entry* entry = entry_of(service, false, access::kServiceChangeConfig);
    if (entry == nullptr)
        return bad_handle("change_service_config");
    // The name is the file's and stays.
    if (unit_name_for(registration.name) != entry->unit)
        return std::unexpected(OsError{EINVAL, "change_service_config", registration.name});
    // The description is not part of the configuration, so it stays: an unchanged
    // registration leaves the file as it is.
    const auto current = read_unit_file(entry->unit);
    return write_unit(*entry, registration, description_in(current.value_or("")));
}

OsResult<void> SystemdServiceControl::set_service_description(ScHandle service,
                                                              std::string_view description) {
    std::lock_guard lock(mutex_);
    Entry* entry = entry_of(service, false, access::kServiceChangeConfig);
    if (entry == nullptr)
        return bad_handle("set_service_description");
    // The description is a line of the unit, written with its registration.
    if (!entry->registration)
        return std::unexpected(OsError{ENODATA, "set_service_description", entry->unit});
    return write_unit(*entry, *entry->registration, description);
}

// Units have no service SID; their processes run unrestricted, which is what is asked.
OsResult<void> SystemdServiceControl::set_service_sid_type(ScHandle service,
                                                           std::uint32_t sid_type) {
    std::lock_guard lock(mutex_);
    if (entry_of(service, false, access::kServiceChangeConfig) == nullptr)
        return bad_handle("set_service_sid_type");
    if (sid_type != kServiceSidTypeUnrestricted)
        return std::unexpected(OsError{ENOTSUP, "set_service_sid_type", ""});
    return {};
}

// A unit has no privilege list, and its restart policy is written into the unit itself
// (Restart=on-failure); there is nothing to keep, so only the handle is checked.
OsResult<void> SystemdServiceControl::set_required_privileges(ScHandle service,
                                                              const std::vector<std::string>&) {
    std::lock_guard lock(mutex_);
    if (entry_of(service, false, access::kServiceChangeConfig) == nullptr)
        return bad_handle("set_required_privileges");
    return {};
}

OsResult<void> SystemdServiceControl::set_recovery(ScHandle service, const ServiceRecovery&) {
    std::lock_guard lock(mutex_);
    if (entry_of(service, false, access::kServiceChangeConfig) == nullptr)
        return bad_handle("set_recovery");
    return {};
}

OsResult<std::uint32_t> SystemdServiceControl::query_service_sid_type(ScHandle service) {
    std::lock_guard lock(mutex_);
    if (entry_of(service, false, access::kServiceQueryConfig) == nullptr)
        return bad_handle("query_service_sid_type");
    return kServiceSidTypeUnrestricted;
}

OsResult<ServiceStatus> SystemdServiceControl::query_service_status(ScHandle service) {
    return query_service_status_while(service, {});
}

OsResult<ServiceStatus> SystemdServiceControl::query_service_status_while(
    ScHandle service, const std::function<void()>& meanwhile) {
    std::lock_guard lock(mutex_);
    Entry* entry = entry_of(service, false, access::kServiceQueryStatus);
    if (entry == nullptr)
        return bad_handle("query_service_status");
    auto unit = entry->bus->unit_state(entry->unit, meanwhile);
    if (!unit)
        return refused("reading the unit's state", entry->bus->last_error(), entry->unit);
    auto state = service_state_of_unit(unit->active_state, unit->sub_state);
    // A state this system does not know is no answer the caller could use.
    if (!state)
        return std::unexpected(OsError{EPROTO, "ActiveState " + unit->active_state, entry->unit});
    return service_status_of_unit(*state, unit->active_state, unit->result, unit->exec_main_status);
}

OsResult<void> SystemdServiceControl::start_service(ScHandle service) {
    return unit_job(service, access::kServiceStart, "start_service", &SystemdBus::start_unit,
                    "StartUnit");
}

OsResult<void> SystemdServiceControl::stop_service(ScHandle service) {
    return unit_job(service, access::kServiceStop, "stop_service", &SystemdBus::stop_unit,
                    "StopUnit");
}

OsResult<void> SystemdServiceControl::unit_job(ScHandle service, std::uint32_t right,
                                               const char* operation,
                                               bool (SystemdBus::*job)(std::string_view),
                                               const char* call) {
    std::lock_guard lock(mutex_);
    Entry* entry = entry_of(service, false, right);
    if (entry == nullptr)
        return bad_handle(operation);
    const bool queued = (*entry->bus.*job)(entry->unit);
    entry->job = queued ? entry->bus->last_job() : std::string{};
    return checked(queued, call, *entry->bus, entry->unit);
}

// The job ends when systemd removes it (JobRemoved, heard on the connection since before the
// job was queued). Another handle's job queued since makes this one's end unknowable here.
bool SystemdServiceControl::await_requested_change(ScHandle service,
                                                   std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        pollfd connection{};
        std::shared_ptr<SystemdBus> bus;
        {
            std::lock_guard lock(mutex_);
            Entry* entry = entry_of(service, false, 0);
            if (entry == nullptr || entry->job.empty() || entry->bus->last_job() != entry->job)
                return false;
            if (entry->bus->job_removed(entry->job)) {
                entry->job.clear();
                return true;
            }
            if (entry->bus->last_error() != 0)
                return false;  // a broken connection: the caller's next query says so
            bus = entry->bus;
            connection = pollfd{bus->descriptor(), bus->events_awaited(), 0};
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        ::poll(&connection, 1, static_cast<int>(std::min(left, kJobWaitSlice).count()));
    }
}

// Disabled, its file removed, systemd reloaded: a running unit keeps running until it stops,
// then nothing of it is left. A stop already under way is awaited first: systemd then reloads
// with the unit down, drops it at once, and the reset clears what a failed stop left. A
// package's unit is stopped only: its file and whether it starts at boot are the package
// manager's, which tracks them across removal and reinstallation.
OsResult<void> SystemdServiceControl::delete_service(ScHandle service) {
    std::lock_guard lock(mutex_);
    Entry* entry = entry_of(service, false, access::kDelete);
    if (entry == nullptr)
        return bad_handle("delete_service");
    await_stop(*entry->bus, entry->unit);
    if (unit_file_exists(entry->unit)) {
        entry->bus->disable_unit_file(entry->unit);  // a unit never enabled has nothing to undo
        if (entry->unit == kRangesUnitOwner && unit_file_exists(kRangesUnit)) {
            entry->bus->disable_unit_file(kRangesUnit);
            if (::unlink(unit_path(kRangesUnit).c_str()) != 0 && errno != ENOENT)
                return refused("removing the unit", errno, unit_path(kRangesUnit));
        }
        if (::unlink(unit_path(entry->unit).c_str()) != 0 && errno != ENOENT)
            return refused("removing the unit", errno, unit_path(entry->unit));
    }
    if (!entry->bus->reload())
        return refused("Reload", entry->bus->last_error(), entry->unit);
    entry->bus->reset_failed_unit(entry->unit);  // a failed unit would otherwise stay listed
    return {};
}

void SystemdServiceControl::close_service_handle(ScHandle handle) {
    std::lock_guard lock(mutex_);
    entries_.erase(handle.value);
}

}  // namespace velnaro::platform
