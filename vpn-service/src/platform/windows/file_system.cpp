#include "platform/windows/file_system.hpp"

// Not implemented yet: every call fails.
namespace velnaro::platform {

PathKind Win32FileSystem::path_kind(std::string_view) { return PathKind::missing; }
bool Win32FileSystem::create_directories(std::string_view) { return false; }
std::optional<std::string> Win32FileSystem::canonical_directory(std::string_view) { return {}; }
std::optional<FileHandle> Win32FileSystem::create_new_file(std::string_view) { return {}; }
std::optional<std::size_t> Win32FileSystem::write_file(FileHandle, std::span<const std::uint8_t>) {
    return {};
}
bool Win32FileSystem::flush_file(FileHandle) { return false; }
void Win32FileSystem::close_file(FileHandle) {}
std::optional<std::vector<std::uint8_t>> Win32FileSystem::read_file(std::string_view, std::size_t) {
    return {};
}
bool Win32FileSystem::delete_file(std::string_view) { return false; }
bool Win32FileSystem::move_file(std::string_view, std::string_view, MoveMode) { return false; }
std::optional<std::vector<std::string>> Win32FileSystem::list_directory(std::string_view) {
    return {};
}
bool Win32FileSystem::remove_tree(std::string_view) { return false; }
std::optional<std::string> Win32FileSystem::temporary_directory() { return {}; }
AccessResult Win32FileSystem::restrict_access(std::string_view) { return AccessResult::failed; }

}  // namespace velnaro::platform
