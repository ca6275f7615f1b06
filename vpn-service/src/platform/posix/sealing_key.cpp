#include "platform/posix/sealing_key.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/paths.hpp"
#include "platform/posix/fd_io.hpp"
#include "platform/posix/file_system.hpp"
#include "platform/posix/file_system_detail.hpp"
#include "platform/posix/owned_fd.hpp"

namespace velnaro::platform {
namespace {

constexpr std::string_view kKeyContext = "velnaro-sealing-key-v1";

std::optional<std::string> home_directory() {
    // The password database first: HOME is whatever the caller's environment says.
    std::string buffer(16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return std::string(found->pw_dir);
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home);
    return std::nullopt;
}

std::optional<std::string> default_key_directory() {
    if (::geteuid() == 0)
        return std::string("/var/lib/velnaro-keys");
    const char* data_home = std::getenv("XDG_DATA_HOME");
    if (data_home != nullptr && data_home[0] == '/')
        return join_path(data_home, "velnaro");
    auto home = home_directory();
    if (!home)
        return std::nullopt;
    return join_path(join_path(join_path(*home, ".local"), "share"), "velnaro");
}

enum class KeyRead { ok, missing, refused };

// Only a regular file of the right size, owned by the account and private to it, is a key.
KeyRead read_key_file(int directory, const std::string& file, SealingKey& secret) {
    OwnedFd fd(::openat(directory, file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return errno == ENOENT ? KeyRead::missing : KeyRead::refused;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & (S_IRWXG | S_IRWXO)) != 0 ||
        info.st_size != static_cast<off_t>(kSealingKeySize)) {
        return KeyRead::refused;
    }
    return read_exactly(fd.get(), std::span(secret.data(), secret.size())) ? KeyRead::ok
                                                                           : KeyRead::refused;
}

// The secret is written completely under a temporary name and then linked to the key's
// name, which fails when the name exists: a concurrent creator that loses the race never
// sees a half-written key, and reads the winner's file instead.
bool publish_new_key_file(int directory, const std::string& file) {
    std::uint8_t suffix[8];
    randombytes_buf(suffix, sizeof suffix);
    char hex[2 * sizeof suffix + 1];
    sodium_bin2hex(hex, sizeof hex, suffix, sizeof suffix);
    const std::string temporary = std::string(".key-") + hex + ".tmp";

    OwnedFd fd(::openat(directory, temporary.c_str(),
                        O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR));
    if (!fd)
        return false;
    SealingKey secret;
    randombytes_buf(secret.data(), secret.size());
    const bool written =
        write_exactly(fd.get(), std::span<const std::uint8_t>(secret.data(), secret.size())) &&
        ::fsync(fd.get()) == 0;
    secret.wipe();
    fd.reset();
    const bool linked =
        written && (::linkat(directory, temporary.c_str(), directory, file.c_str(), 0) == 0 ||
                    errno == EEXIST);
    ::unlinkat(directory, temporary.c_str(), 0);
    return linked && ::fsync(directory) == 0;
}

bool load_account_secret(const SealingKeyLocation& location, SealingKey& secret) {
    auto directory = location.key_directory.empty() ? default_key_directory()
                                                    : std::optional(location.key_directory);
    if (!directory)
        return false;
    // Anyone who could write into the folder, or into a level above it, could swap the key
    // file for one they know; from here on every step is relative to the opened folder.
    const auto opened = open_trusted_directory(*directory);
    struct stat info {};
    if (!opened || ::fstat(opened->fd.get(), &info) != 0 || info.st_uid != ::geteuid())
        return false;
    const int folder = opened->fd.get();
    const std::string file = std::to_string(::geteuid()) + ".key";
    KeyRead read = read_key_file(folder, file, secret);
    if (read == KeyRead::missing) {
        if (!publish_new_key_file(folder, file))
            return false;
        read = read_key_file(folder, file, secret);
    }
    return read == KeyRead::ok;
}

std::optional<std::string> read_machine_id(const SealingKeyLocation& location) {
    PosixFileSystem files;
    for (const std::string& candidate : location.machine_id_files) {
        auto bytes = files.read_file(candidate, 256);
        if (!bytes || bytes->size() > 256)
            continue;
        std::string id(bytes->begin(), bytes->end());
        while (!id.empty() && (id.back() == '\n' || id.back() == ' '))
            id.pop_back();
        if (!id.empty())
            return id;
    }
    return std::nullopt;
}

}  // namespace

bool sodium_ready() {
    static const bool ready = ::sodium_init() >= 0;
    return ready;
}

OsResult<void> derive_sealing_key(const SealingKeyLocation& location, SealingKey& key) {
    if (!sodium_ready())
        return std::unexpected(OsError{EIO, "sodium_init", ""});
    // Without a machine id the blob would not be bound to the machine, so sealing refuses.
    auto machine_id = read_machine_id(location);
    if (!machine_id) {
        const std::string first =
            location.machine_id_files.empty() ? "" : location.machine_id_files.front();
        return std::unexpected(OsError{ENOENT, "read machine id", first});
    }
    SealingKey secret;
    // The steps keep errno from the call that refused; a key file that is not the account's
    // own or not private sets none, and counts as a refusal.
    errno = 0;
    if (!load_account_secret(location, secret)) {
        const int error = errno != 0 ? errno : EACCES;
        return std::unexpected(
            OsError{static_cast<std::uint32_t>(error), "load sealing key", location.key_directory});
    }

    const std::uint32_t uid = ::geteuid();
    const std::uint8_t uid_bytes[4] = {
        static_cast<std::uint8_t>(uid), static_cast<std::uint8_t>(uid >> 8),
        static_cast<std::uint8_t>(uid >> 16), static_cast<std::uint8_t>(uid >> 24)};
    const std::uint8_t separator = 0;
    crypto_generichash_state state;
    crypto_generichash_init(&state, secret.data(), secret.size(), key.size());
    crypto_generichash_update(&state, reinterpret_cast<const std::uint8_t*>(kKeyContext.data()),
                              kKeyContext.size());
    crypto_generichash_update(&state, &separator, 1);
    crypto_generichash_update(&state, reinterpret_cast<const std::uint8_t*>(machine_id->data()),
                              machine_id->size());
    crypto_generichash_update(&state, &separator, 1);
    crypto_generichash_update(&state, uid_bytes, sizeof uid_bytes);
    const bool done = crypto_generichash_final(&state, key.data(), key.size()) == 0;
    sodium_memzero(&state, sizeof state);
    if (!done) {
        key.wipe();
        return std::unexpected(OsError{EIO, "crypto_generichash", ""});
    }
    return {};
}

}  // namespace velnaro::platform
