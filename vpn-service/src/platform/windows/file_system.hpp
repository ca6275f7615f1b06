#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/file_system.hpp"
#include "platform/windows/owned_handle.hpp"

namespace velnaro::platform {

class Win32FileSystem final : public FileSystem {
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

  private:
    // Held directories by canonical path, each open without FILE_SHARE_DELETE.
    std::mutex held_mutex_;
    std::map<std::string, OwnedHandle, std::less<>> held_;
};

}  // namespace velnaro::platform
