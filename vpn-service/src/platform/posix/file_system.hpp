#pragma once

#include <map>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/file_system.hpp"
#include "platform/posix/owned_fd.hpp"

namespace velnaro::platform {

class PosixFileSystem final : public FileSystem {
  public:
    PathKind path_kind(std::string_view path) override;
    OsResult<void> create_directories(std::string_view path) override;
    OsResult<DirectoryTrust> directory_trust(std::string_view path) override;
    std::expected<std::string, HoldFailure> hold_directory(std::string_view path,
                                                           std::size_t own_levels) override;
    OsResult<std::string> canonical_directory(std::string_view path) override;
    OsResult<OwnedFile> create_new_file(std::string_view path) override;
    OsResult<std::size_t> write_file(FileHandle file, std::span<const std::uint8_t> bytes) override;
    OsResult<void> flush_file(FileHandle file) override;
    void close_file(FileHandle file) override;
    OsResult<std::vector<std::uint8_t>> read_file(std::string_view path,
                                                  std::size_t max_bytes) override;
    OsResult<void> delete_file(std::string_view path) override;
    OsResult<void> move_file(std::string_view from, std::string_view to, MoveMode mode) override;
    OsResult<std::vector<std::string>> list_directory(std::string_view path) override;
    OsResult<void> remove_tree(std::string_view path) override;
    OsResult<std::string> temporary_directory() override;
    OsResult<void> restrict_access(std::string_view path) override;
    OsResult<bool> replaceable_by_others(std::string_view path,
                                         TrustedOwners owners) override;

    // Where an operation on `path` acts: a held directory's descriptor and the name inside
    // it ("." for the directory itself), or AT_FDCWD and the path as given. A held directory
    // that was removed meanwhile yields an invalid descriptor, so the operation fails
    // instead of writing into a directory nobody can reach.
    struct Place {
        OwnedFd held;  // a duplicate of the held descriptor, so a new hold cannot close it
        int directory = AT_FDCWD;
        std::string name;
    };
    OsResult<Place> place_of(std::string_view path);

    // What `path` names itself, opened read-only for inspection, with fstat's account of it:
    // never through a link planted under the name (O_NOFOLLOW), and never waiting for the
    // writer of a FIFO planted there (O_NONBLOCK; a regular file is unaffected).
    struct Opened {
        OwnedFd fd;
        struct stat info {};
    };
    OsResult<Opened> open_unfollowed(std::string_view path);

  private:
    std::mutex held_mutex_;
    std::map<std::string, OwnedFd, std::less<>> held_;
};

}  // namespace velnaro::platform
