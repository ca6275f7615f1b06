#include "platform/posix/file_system.hpp"

// Not implemented yet: every call fails.
namespace velnaro::platform {

PathKind PosixFileSystem::path_kind(std::string_view) { return PathKind::missing; }
bool PosixFileSystem::create_directories(std::string_view) { return false; }
std::optional<std::string> PosixFileSystem::canonical_directory(std::string_view) { return {}; }
std::optional<FileHandle> PosixFileSystem::create_new_file(std::string_view) { return {}; }
std::optional<std::size_t> PosixFileSystem::write_file(FileHandle, std::span<const std::uint8_t>) {
    return {};
}
bool PosixFileSystem::flush_file(FileHandle) { return false; }
void PosixFileSystem::close_file(FileHandle) {}
std::optional<std::vector<std::uint8_t>> PosixFileSystem::read_file(std::string_view, std::size_t) {
    return {};
}
bool PosixFileSystem::delete_file(std::string_view) { return false; }
bool PosixFileSystem::move_file(std::string_view, std::string_view, MoveMode) { return false; }
std::optional<std::vector<std::string>> PosixFileSystem::list_directory(std::string_view) {
    return {};
}
bool PosixFileSystem::remove_tree(std::string_view) { return false; }
std::optional<std::string> PosixFileSystem::temporary_directory() { return {}; }
AccessResult PosixFileSystem::restrict_access(std::string_view) { return AccessResult::failed; }

}  // namespace velnaro::platform
