#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/service_control.hpp"

// The on-disk side of the local service manager: where registrations and runtime states
// live, how they are written and read, and how a recorded process is recognised.
namespace velnaro::platform::local_services {

// Owns one descriptor of the manager's own files.
class ScopedFd {
  public:
    ScopedFd() = default;
    explicit ScopedFd(int fd) : fd_(fd) {}
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ScopedFd(ScopedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ScopedFd& operator=(ScopedFd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~ScopedFd();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// <program data>, from $PROGRAMDATA, or /var/lib when it is unset or empty.
std::string program_data_root();
// <root>/Velnaro/services.
std::string database_directory(std::string_view root);

// The file-name form of a service name: ASCII letters folded to lower case (service names
// are case-insensitive), letters and digits kept, every other byte written as %XX. Nothing
// for a name the manager refuses: empty, longer than 80 bytes, not UTF-8, or holding a
// control character, "/" or "\".
std::optional<std::string> service_key(std::string_view name);

std::string registration_path(std::string_view database, std::string_view key);
std::string state_path(std::string_view database, std::string_view key);

struct StoredRegistration {
    ServiceRegistration registration;
    std::string description;
    std::uint32_t sid_type = 0;
    bool delete_pending = false;
};

std::string encode_registration(const StoredRegistration& stored);
// Nothing for text that is not a complete registration of this format.
std::optional<StoredRegistration> decode_registration(std::string_view text);

// What the manager knows about the process of a started service. The boot id makes a
// state written before a reboot read as stopped even when its pid is in use again.
struct RuntimeState {
    pid_t pid = 0;
    std::uint64_t start_time = 0;  // field 22 of /proc/<pid>/stat
    std::string boot_id;
    std::uint32_t reported_state = service_state::kStartPending;
    bool stop_requested = false;
};

std::string encode_runtime_state(const RuntimeState& state);
std::optional<RuntimeState> decode_runtime_state(std::string_view text);

// The current state of a service from its runtime state (none: never started).
std::uint32_t effective_state(const std::optional<RuntimeState>& state);
// The recorded process still runs: same boot, same pid, same start time, not a zombie.
bool is_recorded_process_alive(const RuntimeState& state);

// Start time of a live (non-zombie) process, or nothing when it is gone.
std::optional<std::uint64_t> process_start_time(pid_t pid);
// Field 22 of a /proc/<pid>/stat text; nothing when malformed. Allocates nothing, so the
// starter may use it between fork and exec.
std::optional<std::uint64_t> parse_start_time(const char* stat_text, std::size_t length);
std::string current_boot_id();

// Temp file (0600) + fsync + rename + fsync of the directory.
bool write_file_atomically(const std::string& path, std::string_view content);
// The whole file, or nothing when it is missing, unreadable or larger than 64 KiB.
std::optional<std::string> read_small_file(const std::string& path);
bool remove_file_durably(const std::string& path);

std::optional<StoredRegistration> load_registration(std::string_view database,
                                                    std::string_view key);
std::optional<RuntimeState> load_runtime_state(std::string_view database, std::string_view key);

// Serialises every read-modify-write of the database, between threads and processes
// (flock on the database directory itself, so no extra file is needed).
class DatabaseLock {
  public:
    explicit DatabaseLock(const std::string& database);
    bool held() const { return static_cast<bool>(fd_); }

  private:
    ScopedFd fd_;
};

// The directory can be trusted with command lines that run as root: a real directory
// (no link), and when we are root, owned by root and writable by nobody else.
bool is_trusted_directory(const std::string& path);

}  // namespace velnaro::platform::local_services
