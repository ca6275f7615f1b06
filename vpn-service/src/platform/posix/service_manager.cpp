#include "platform/posix/service_manager.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

#include "core/command_line.hpp"
#include "core/paths.hpp"
#include "core/utf.hpp"
#include "platform/posix/detached_process.hpp"
#include "platform/posix/local_services_db.hpp"

extern char** environ;

namespace velnaro::platform {
namespace {

using namespace local_services;

// Rights that only read: connecting, enumerating and lock status for the manager; query
// config, query status, enumerate dependents, interrogate and read control for a service.
constexpr std::uint32_t kManagerReadRights = 0x1 | 0x4 | 0x10;
constexpr std::uint32_t kServiceReadRights = 0x1 | 0x4 | 0x8 | 0x80 | 0x20000;
constexpr std::uint32_t kSidTypeNone = 0;
constexpr std::uint32_t kSidTypeRestricted = 3;

bool is_root() {
    return ::geteuid() == 0;
}

bool is_platform_text(std::string_view text) {
    return to_platform_text(text).has_value();
}

bool is_acceptable(const ServiceRegistration& r) {
    if (r.command_line.empty() || !is_platform_text(r.command_line) ||
        !is_platform_text(r.display_name)) {
        return false;
    }
    for (const auto& dependency : r.dependencies) {
        if (dependency.empty() || !is_platform_text(dependency))
            return false;
    }
    return true;
}

bool make_directory(const std::string& path, mode_t mode) {
    return ::mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

// The database is made on first registration: <root>/Velnaro readable by all (it also
// holds the data directory), the services folder private to root.
bool ensure_database(const std::string& root, const std::string& database) {
    const std::string velnaro = join_path(root, "Velnaro");
    return make_directory(velnaro, 0755) && is_trusted_directory(velnaro) &&
           make_directory(database, 0700) && ::chmod(database.c_str(), 0700) == 0 &&
           is_trusted_directory(database);
}

// A service's process sees a fixed, small environment, as a service started by the
// system would, rather than whatever the administrator's shell held. VELNARO_* and the
// sanitizer settings pass through for tests; PROGRAMDATA is the manager's own, so the
// process reports its state to this database.
std::vector<std::string> service_environment(const std::string& root) {
    std::vector<std::string> out{
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "PROGRAMDATA=" + root};
    static constexpr std::string_view kPassed[] = {
        "LANG=", "LC_ALL=", "TZ=", "ASAN_OPTIONS=", "UBSAN_OPTIONS=", "LSAN_OPTIONS=", "VELNARO_"};
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        for (auto prefix : kPassed) {
            if (text.starts_with(prefix)) {
                out.emplace_back(text);
                break;
            }
        }
    }
    return out;
}

std::uint32_t current_state(const std::string& database, const std::string& key) {
    return effective_state(load_runtime_state(database, key));
}

void remove_service_files(const std::string& database, const std::string& key) {
    remove_file_durably(state_path(database, key));
    remove_file_durably(registration_path(database, key));
}

// A registration marked for deletion goes as soon as its service has stopped. Call with
// the database lock held; true when the registration is gone (or was never there).
bool sweep_if_deleted(const std::string& database, const std::string& key) {
    auto stored = load_registration(database, key);
    if (!stored)
        return true;
    if (!stored->delete_pending || current_state(database, key) != service_state::kStopped) {
        return false;
    }
    remove_service_files(database, key);
    return true;
}

// Loads, changes and writes back one live registration, under the database lock.
bool update_registration(const std::string& database, const std::string& key,
                         const std::function<bool(StoredRegistration&)>& change) {
    DatabaseLock lock(database);
    if (!lock.held())
        return false;
    auto stored = load_registration(database, key);
    if (!stored || stored->delete_pending || !change(*stored))
        return false;
    return write_file_atomically(registration_path(database, key), encode_registration(*stored));
}

}  // namespace

ScHandle LocalServiceManager::add_entry(Entry entry) {
    std::lock_guard guard(mutex_);
    const std::uintptr_t value = next_handle_++;
    entries_.emplace(value, std::move(entry));
    return ScHandle{value};
}

std::optional<LocalServiceManager::Entry> LocalServiceManager::entry_of(ScHandle handle,
                                                                        bool want_manager,
                                                                        std::uint32_t needed) {
    std::lock_guard guard(mutex_);
    auto found = entries_.find(handle.value);
    if (found == entries_.end() || found->second.is_manager != want_manager ||
        (found->second.access & needed) != needed) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<ScHandle> LocalServiceManager::open_manager(std::uint32_t access) {
    if ((access & ~kManagerReadRights) != 0 && !is_root())
        return std::nullopt;
    Entry entry{true, program_data_root(), {}, {}, access};
    entry.database = database_directory(entry.root);
    struct stat info {};
    // No database yet: connecting succeeds and every service is absent.
    if (::lstat(entry.database.c_str(), &info) == 0) {
        const std::string velnaro = join_path(entry.root, "Velnaro");
        if (!is_trusted_directory(velnaro) || !is_trusted_directory(entry.database) ||
            ::access(entry.database.c_str(), R_OK | X_OK) != 0) {
            return std::nullopt;
        }
    }
    return add_entry(std::move(entry));
}

std::optional<ScHandle> LocalServiceManager::open_service(ScHandle manager, std::string_view name,
                                                          std::uint32_t access) {
    auto owner = entry_of(manager, true, 0);
    auto key = service_key(name);
    if (!owner || !key || ((access & ~kServiceReadRights) != 0 && !is_root())) {
        return std::nullopt;
    }
    {
        DatabaseLock lock(owner->database);
        if (!lock.held() || sweep_if_deleted(owner->database, *key))
            return std::nullopt;
        auto stored = load_registration(owner->database, *key);
        if (!stored || stored->delete_pending)
            return std::nullopt;
    }
    return add_entry(Entry{false, owner->root, owner->database, *key, access});
}

std::optional<ScHandle> LocalServiceManager::create_service(ScHandle manager,
                                                            const ServiceRegistration& registration,
                                                            std::uint32_t access) {
    auto owner = entry_of(manager, true, access::kManagerCreateService);
    auto key = service_key(registration.name);
    if (!owner || !key || !is_acceptable(registration) ||
        !ensure_database(owner->root, owner->database)) {
        return std::nullopt;
    }
    {
        DatabaseLock lock(owner->database);
        // A service marked for deletion keeps its name until it has stopped.
        if (!lock.held() || !sweep_if_deleted(owner->database, *key))
            return std::nullopt;
        StoredRegistration stored{registration, {}, kSidTypeNone, false};
        if (!write_file_atomically(registration_path(owner->database, *key),
                                   encode_registration(stored))) {
            return std::nullopt;
        }
        remove_file_durably(state_path(owner->database, *key));
    }
    return add_entry(Entry{false, owner->root, owner->database, *key, access});
}

bool LocalServiceManager::change_service_config(ScHandle service,
                                                const ServiceRegistration& registration) {
    auto entry = entry_of(service, false, access::kServiceChangeConfig);
    if (!entry || !is_acceptable(registration))
        return false;
    return update_registration(entry->database, entry->key, [&](StoredRegistration& stored) {
        const std::string name = stored.registration.name;  // the name itself never changes
        stored.registration = registration;
        stored.registration.name = name;
        return true;
    });
}

bool LocalServiceManager::set_service_description(ScHandle service, std::string_view description) {
    auto entry = entry_of(service, false, access::kServiceChangeConfig);
    if (!entry || !is_platform_text(description))
        return false;
    return update_registration(entry->database, entry->key, [&](StoredRegistration& stored) {
        stored.description = std::string(description);
        return true;
    });
}

bool LocalServiceManager::set_service_sid_type(ScHandle service, std::uint32_t sid_type) {
    auto entry = entry_of(service, false, access::kServiceChangeConfig);
    if (!entry || (sid_type != kSidTypeNone && sid_type != kServiceSidTypeUnrestricted &&
                   sid_type != kSidTypeRestricted)) {
        return false;
    }
    return update_registration(entry->database, entry->key, [&](StoredRegistration& stored) {
        stored.sid_type = sid_type;
        return true;
    });
}

// Linux has no privilege list per service, and a restart policy belongs to the unit
// (Restart=on-failure); the registration has nothing to keep, so only the handle is checked.
bool LocalServiceManager::set_required_privileges(ScHandle service,
                                                  const std::vector<std::string>&) {
    return entry_of(service, false, access::kServiceChangeConfig).has_value();
}

bool LocalServiceManager::set_recovery(ScHandle service, const ServiceRecovery&) {
    return entry_of(service, false, access::kServiceChangeConfig).has_value();
}

std::optional<std::uint32_t> LocalServiceManager::query_service_sid_type(ScHandle service) {
    auto entry = entry_of(service, false, access::kServiceQueryConfig);
    if (!entry)
        return std::nullopt;
    DatabaseLock lock(entry->database);
    auto stored = lock.held() ? load_registration(entry->database, entry->key) : std::nullopt;
    if (!stored)
        return std::nullopt;
    return stored->sid_type;
}

std::optional<std::uint32_t> LocalServiceManager::query_service_state(ScHandle service) {
    auto entry = entry_of(service, false, access::kServiceQueryStatus);
    if (!entry)
        return std::nullopt;
    DatabaseLock lock(entry->database);
    if (!lock.held() || !load_registration(entry->database, entry->key))
        return std::nullopt;
    const std::uint32_t state = current_state(entry->database, entry->key);
    sweep_if_deleted(entry->database, entry->key);
    return state;
}

bool LocalServiceManager::start_service(ScHandle service) {
    auto entry = entry_of(service, false, access::kServiceStart);
    if (!entry)
        return false;
    DatabaseLock lock(entry->database);
    if (!lock.held())
        return false;
    auto stored = load_registration(entry->database, entry->key);
    if (!stored || stored->delete_pending ||
        current_state(entry->database, entry->key) != service_state::kStopped) {
        return false;
    }
    // The lock stays held until the state is written, so a report of RUNNING from a fast
    // service waits for it instead of being overwritten with START_PENDING.
    auto started = start_detached(split_command_line(stored->registration.command_line),
                                  service_environment(entry->root));
    if (!started)
        return false;
    const RuntimeState state{started->pid, started->start_time, current_boot_id(),
                             service_state::kStartPending, false};
    if (!write_file_atomically(state_path(entry->database, entry->key),
                               encode_runtime_state(state))) {
        terminate_process(*started);  // untracked, it could never be stopped
        return false;
    }
    return true;
}

bool LocalServiceManager::stop_service(ScHandle service) {
    auto entry = entry_of(service, false, access::kServiceStop);
    if (!entry)
        return false;
    DatabaseLock lock(entry->database);
    if (!lock.held() || !load_registration(entry->database, entry->key))
        return false;
    auto state = load_runtime_state(entry->database, entry->key);
    const std::uint32_t current = effective_state(state);
    // Like the real manager: a stopped service is not active, a stopping one takes no control.
    if (current == service_state::kStopped || current == service_state::kStopPending) {
        return false;
    }
    state->stop_requested = true;
    if (!write_file_atomically(state_path(entry->database, entry->key),
                               encode_runtime_state(*state))) {
        return false;
    }
    return terminate_process(StartedProcess{state->pid, state->start_time});
}

bool LocalServiceManager::delete_service(ScHandle service) {
    auto entry = entry_of(service, false, access::kDelete);
    if (!entry)
        return false;
    DatabaseLock lock(entry->database);
    if (!lock.held())
        return false;
    auto stored = load_registration(entry->database, entry->key);
    if (!stored || stored->delete_pending)
        return false;
    if (current_state(entry->database, entry->key) == service_state::kStopped) {
        remove_service_files(entry->database, entry->key);
        return true;
    }
    stored->delete_pending = true;
    return write_file_atomically(registration_path(entry->database, entry->key),
                                 encode_registration(*stored));
}

void LocalServiceManager::close_service_handle(ScHandle handle) {
    std::optional<Entry> closed;
    {
        std::lock_guard guard(mutex_);
        auto found = entries_.find(handle.value);
        if (found == entries_.end())
            return;
        closed = std::move(found->second);
        entries_.erase(found);
    }
    if (closed->is_manager)
        return;
    DatabaseLock lock(closed->database);
    if (lock.held())
        sweep_if_deleted(closed->database, closed->key);
}

}  // namespace velnaro::platform
