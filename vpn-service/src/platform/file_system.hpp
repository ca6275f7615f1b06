#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/owned.hpp"
#include "platform/handles.hpp"
#include "platform/os_error.hpp"

namespace velnaro::platform {

enum class PathKind { missing, regular_file, directory, other };

enum class MoveMode {
    replace,                   // replace the target if it exists
    replace_write_through,     // replace, and the move is on disk when the call returns
    no_replace_write_through,  // fail when the target exists; on disk when the call returns
};

// What one directory level is, seen without following a link at that level.
enum class DirectoryTrust {
    missing,          // nothing by that name
    trusted,          // a real directory that only this account or the administrator controls
    not_a_directory,  // a file, device or anything else that is not a directory
    link,             // a symbolic link, junction or other redirection, wherever it points
    untrusted,        // owned by another account, or open to writing by others
    unknown,          // could not be inspected
};

// Why a directory could not be held: what was found at which level, and the operating
// system's error where one was reported (code 0 when the level was judged, not failed).
struct HoldFailure {
    DirectoryTrust found = DirectoryTrust::unknown;  // never `trusted`
    std::string level;
    OsError error;
};

// The operation named in restrict_access's error when the service's security descriptor
// itself could not be built (Windows), as opposed to applying it to the path.
inline constexpr std::string_view kBuildDescriptorOperation = "build security descriptor";

// Whose files a judge of who could replace them accepts. The service trusts the
// administrators (Linux: root; Windows: the local system account, the administrators and
// TrustedInstaller); a process that is not the service, such as a self-test, may also trust
// the account it runs as. An installer judges with the service's set alone, since the
// service will not trust the installing account.
enum class TrustedOwners {
    service,
    service_and_running_account,
};

class FileSystem;

// Closes a file that create_new_file opened, through the file system that opened it.
struct FilePolicy {
    using Value = FileHandle;
    FileSystem* files = nullptr;
    static FileHandle invalid() noexcept { return {}; }
    static bool is_valid(FileHandle file) noexcept { return file.value != 0; }
    void close(FileHandle file) noexcept;
};
using OwnedFile = Owned<FilePolicy>;

// Files and directories. Paths are UTF-8 text; implementations refuse a path that cannot be
// handed to the operating system (embedded zero, invalid text) by failing the call.
class FileSystem {
  public:
    virtual ~FileSystem() = default;

    // Attribute query that follows links; a failed query reads as missing. It answers a
    // question rather than doing something, and every caller treats "cannot tell" as "not
    // there", so it carries no error.
    virtual PathKind path_kind(std::string_view path) = 0;
    // Creates the directory and every missing parent; an existing directory is success.
    virtual OsResult<void> create_directories(std::string_view path) = 0;
    // Inspects a directory level where a secret will live; a link there is reported as
    // such, never followed. An error when the level cannot be inspected.
    virtual OsResult<DirectoryTrust> directory_trust(std::string_view path) = 0;
    // Judges the directory and the levels above it, creates the missing ones private to the
    // service, and keeps the directory open for the life of this object; returns its
    // canonical path. Holding it again replaces the earlier hold.
    // Linux: every level from the root must be a real directory (never a link), owned by root
    // or this account and not writable by its group or others; a sticky level such as /tmp
    // may be, when it is not the last. Each level is opened relative to the one above, and
    // every later operation on the directory itself or on a name directly inside it goes
    // through the held descriptor, so swapping any level afterwards redirects nothing.
    // Windows: the last `own_levels` levels belong to the service: created with an explicit
    // protected descriptor (owner the administrators, access for the system and the
    // administrators only) and, when found, refused unless owned by the system, the
    // administrators or TrustedInstaller and closed to writing by anyone else. The directory
    // is held without FILE_SHARE_DELETE, so neither it nor a level above can be renamed.
    virtual std::expected<std::string, HoldFailure> hold_directory(std::string_view path,
                                                                   std::size_t own_levels) = 0;
    // Absolute final path of an existing directory, every link resolved.
    virtual OsResult<std::string> canonical_directory(std::string_view path) = 0;

    // Creates a file that must not exist yet, for writing, private to the owner from the
    // start; the file is closed when the returned owner goes.
    virtual OsResult<OwnedFile> create_new_file(std::string_view path) = 0;
    // Writes some of the bytes; returns how many (possibly 0).
    virtual OsResult<std::size_t> write_file(FileHandle file,
                                             std::span<const std::uint8_t> bytes) = 0;
    virtual OsResult<void> flush_file(FileHandle file) = 0;
    // Called by OwnedFile only. A failed close has nothing left to undo: what matters was
    // flushed before, so it reports nothing.
    virtual void close_file(FileHandle file) = 0;

    // Reads the whole file, or its first max_bytes + 1 bytes when it is longer, so that the
    // caller can tell an oversized file without reading it all. Only a regular file is read:
    // a link in place of the file fails the call instead of being followed.
    virtual OsResult<std::vector<std::uint8_t>> read_file(std::string_view path,
                                                          std::size_t max_bytes) = 0;
    // Deletion and moves act on names: a link is removed or replaced as a link, and what it
    // points at is never touched.
    virtual OsResult<void> delete_file(std::string_view path) = 0;
    virtual OsResult<void> move_file(std::string_view from, std::string_view to, MoveMode mode) = 0;
    // Entry names, without "." and "..", in listing order.
    virtual OsResult<std::vector<std::string>> list_directory(std::string_view path) = 0;
    // Removes a directory with everything in it.
    virtual OsResult<void> remove_tree(std::string_view path) = 0;
    // The system's temporary directory.
    virtual OsResult<std::string> temporary_directory() = 0;

    // Restricts a file or directory to the local system account and the administrators
    // (Linux: owner root when running as root, 0700 directories, 0600 files). A link in
    // place of the path fails the call: the rights of whatever it points at stay untouched.
    // The error's operation is kBuildDescriptorOperation when the rule itself could not be
    // built.
    virtual OsResult<void> restrict_access(std::string_view path) = 0;

    // Whether an account outside `owners` could replace what `path` names, or any folder above it: by writing it,
    // renaming or deleting it, changing its owner or access list, adding entries to it
    // (`path` itself, when a folder), or through a link at any level. An error when a level
    // cannot be inspected.
    virtual OsResult<bool> replaceable_by_others(std::string_view path,
                                                 TrustedOwners owners) = 0;
};

inline void FilePolicy::close(FileHandle file) noexcept {
    if (files != nullptr)
        files->close_file(file);
}

}  // namespace velnaro::platform
