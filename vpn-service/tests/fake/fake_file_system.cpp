#include "fake/fake_file_system.hpp"

#include <algorithm>

#include "platform/paths.hpp"

namespace velnaro::fake {

using platform::AccessResult;
using platform::FileHandle;
using platform::MoveMode;
using platform::PathKind;

std::string fake_root() {
#ifdef _WIN32
    return "C:\\fake";
#else
    return "/fake";
#endif
}

FakeFileSystem::FakeFileSystem(Faults& faults) : faults_(faults) {
    directories.insert(key(fake_root()));
#ifdef _WIN32
    directories.insert("C:\\");
#else
    directories.insert("/");
#endif
}

std::string FakeFileSystem::key(std::string_view path) const {
    std::string k(path);
#ifdef _WIN32
    std::replace(k.begin(), k.end(), '/', '\\');
#endif
    while (k.size() > 1 && (k.back() == '/' || k.back() == '\\') &&
           !(k.size() == 3 && k[1] == ':')) {
        k.pop_back();
    }
    return k;
}

bool FakeFileSystem::parent_exists(const std::string& path) const {
    auto parent = parent_directory(path);
    return parent && directories.count(key(*parent)) > 0;
}

PathKind FakeFileSystem::path_kind(std::string_view path) {
    if (faults_.should_fail("path_kind"))
        return PathKind::missing;
    const std::string k = key(path);
    if (directories.count(k))
        return PathKind::directory;
    if (files.count(k))
        return PathKind::regular_file;
    return PathKind::missing;
}

bool FakeFileSystem::create_directories(std::string_view path) {
    if (faults_.should_fail("create_directories"))
        return false;
    std::string k = key(path);
    if (!is_absolute_path(k))
        return false;
    std::vector<std::string> chain;
    for (std::optional<std::string> p = k; p && !directories.count(key(*p));
         p = parent_directory(*p)) {
        if (files.count(key(*p)))
            return false;
        chain.push_back(key(*p));
        if (parent_directory(*p) == p)
            break;
    }
    for (auto& d : chain)
        directories.insert(d);
    return true;
}

platform::DirectoryTrust FakeFileSystem::directory_trust(std::string_view path) {
    using platform::DirectoryTrust;
    if (faults_.should_fail("directory_trust"))
        return DirectoryTrust::unknown;
    const std::string k = key(path);
    if (auto it = planted.find(k); it != planted.end())
        return it->second;
    if (directories.count(k))
        return DirectoryTrust::trusted;
    if (files.count(k))
        return DirectoryTrust::not_a_directory;
    return DirectoryTrust::missing;
}

// Faults: "hold_directory" (the walk cannot start), "hold_directory.create" (a missing
// level cannot be made).
std::expected<std::string, platform::HoldFailure> FakeFileSystem::hold_directory(
    std::string_view path, std::size_t own_levels) {
    using platform::DirectoryTrust;
    const std::string k = key(path);
    if (faults_.should_fail("hold_directory") || !is_absolute_path(k))
        return std::unexpected(platform::HoldFailure{DirectoryTrust::unknown, k});
    std::vector<std::string> levels;
    for (std::optional<std::string> p = k; p; p = parent_directory(*p)) {
        levels.push_back(key(*p));
        if (parent_directory(*p) == p)
            break;
    }
    for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
        auto found = planted.find(*level);
        DirectoryTrust trust = found != planted.end()      ? found->second
                               : directories.count(*level) ? DirectoryTrust::trusted
                               : files.count(*level)       ? DirectoryTrust::not_a_directory
                                                           : DirectoryTrust::missing;
        if (trust == DirectoryTrust::missing && !faults_.should_fail("hold_directory.create")) {
            directories.insert(*level);
            trust = DirectoryTrust::trusted;
        }
        if (trust != DirectoryTrust::trusted)
            return std::unexpected(platform::HoldFailure{trust, *level});
    }
    held[k] = own_levels;
    return k;
}

std::optional<std::string> FakeFileSystem::canonical_directory(std::string_view path) {
    if (faults_.should_fail("canonical_directory"))
        return std::nullopt;
    const std::string k = key(path);
    if (!directories.count(k) || !is_absolute_path(k))
        return std::nullopt;
    return k;
}

std::optional<FileHandle> FakeFileSystem::create_new_file(std::string_view path) {
    if (faults_.should_fail("create_new_file"))
        return std::nullopt;
    const std::string k = key(path);
    if (files.count(k) || directories.count(k) || !parent_exists(k))
        return std::nullopt;
    files[k] = {};
    track_new_name(k, false);
    const std::uintptr_t handle = next_handle_++;
    open_[handle] = k;
    return FileHandle{handle};
}

std::optional<std::size_t> FakeFileSystem::write_file(FileHandle file,
                                                      std::span<const std::uint8_t> bytes) {
    if (faults_.should_fail("write_file"))
        return std::nullopt;
    auto it = open_.find(file.value);
    if (it == open_.end())
        return std::nullopt;
    std::size_t n = bytes.size();
    if (write_chunk != 0)
        n = std::min(n, write_chunk);
    auto& content = files[it->second];
    content.insert(content.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

bool FakeFileSystem::flush_file(FileHandle file) {
    if (faults_.should_fail("flush_file"))
        return false;
    auto it = open_.find(file.value);
    if (it == open_.end())
        return false;
    if (tracking_)
        durable_data_[inode_of_[it->second]] = files[it->second];
    return true;
}

void FakeFileSystem::close_file(FileHandle file) {
    faults_.should_fail("close_file");
    open_.erase(file.value);
}

std::optional<std::vector<std::uint8_t>> FakeFileSystem::read_file(std::string_view path,
                                                                   std::size_t max_bytes) {
    if (faults_.should_fail("read_file"))
        return std::nullopt;
    auto it = files.find(key(path));
    if (it == files.end())
        return std::nullopt;
    const std::size_t n = std::min(it->second.size(), max_bytes + 1);
    return std::vector<std::uint8_t>(it->second.begin(),
                                     it->second.begin() + static_cast<std::ptrdiff_t>(n));
}

bool FakeFileSystem::delete_file(std::string_view path) {
    if (faults_.should_fail("delete_file"))
        return false;
    inode_of_.erase(key(path));
    return files.erase(key(path)) > 0;
}

bool FakeFileSystem::move_file(std::string_view from, std::string_view to, MoveMode mode) {
    if (faults_.should_fail("move_file"))
        return false;
    const std::string f = key(from);
    const std::string t = key(to);
    auto it = files.find(f);
    if (it == files.end() || directories.count(t) || !parent_exists(t))
        return false;
    if (mode == MoveMode::no_replace_write_through && files.count(t))
        return false;
    auto content = std::move(it->second);
    files.erase(it);
    files[t] = std::move(content);
    if (restricted_.count(f))
        restricted_.insert(t);
    if (tracking_) {
        inode_of_[t] = inode_of_[f];
        inode_of_.erase(f);
        if (mode != MoveMode::replace)
            sync_directory_of(t);
    }
    return true;
}

std::optional<std::vector<std::string>> FakeFileSystem::list_directory(std::string_view path) {
    if (faults_.should_fail("list_directory"))
        return std::nullopt;
    const std::string k = key(path);
    if (!directories.count(k))
        return std::nullopt;
    std::vector<std::string> names;
    auto collect = [&](const std::string& entry) {
        if (entry != k && parent_directory(entry) == k)
            names.emplace_back(file_name(entry));
    };
    for (auto& d : directories)
        collect(d);
    for (auto& [f, _] : files)
        collect(f);
    return names;
}

bool FakeFileSystem::remove_tree(std::string_view path) {
    if (faults_.should_fail("remove_tree"))
        return false;
    const std::string k = key(path);
    if (!directories.count(k))
        return false;
    auto inside = [&](const std::string& p) {
        return p == k || (p.size() > k.size() && p.compare(0, k.size(), k) == 0 &&
                          (p[k.size()] == '/' || p[k.size()] == '\\'));
    };
    std::erase_if(directories, inside);
    std::erase_if(files, [&](auto& entry) { return inside(entry.first); });
    std::erase_if(inode_of_, [&](auto& entry) { return inside(entry.first); });
    return true;
}

std::optional<std::string> FakeFileSystem::temporary_directory() {
    if (faults_.should_fail("temporary_directory"))
        return std::nullopt;
    const std::string tmp = join_path(fake_root(), "tmp");
    directories.insert(key(tmp));
    return tmp;
}

AccessResult FakeFileSystem::restrict_access(std::string_view path) {
    if (faults_.should_fail("restrict_access.descriptor"))
        return AccessResult::descriptor_invalid;
    if (faults_.should_fail("restrict_access"))
        return AccessResult::failed;
    const std::string k = key(path);
    if (!files.count(k) && !directories.count(k))
        return AccessResult::failed;
    restricted_.insert(k);
    return AccessResult::ok;
}

platform::OsResult<bool> FakeFileSystem::replaceable_by_others(std::string_view path) {
    const std::string k = key(path);
    if (faults_.should_fail("replaceable_by_others"))
        return std::unexpected(platform::OsError{2, "replaceable_by_others", k});
    for (std::optional<std::string> level = k; level; level = parent_directory(*level)) {
        if (replaceable.count(*level))
            return true;
        if (level == parent_directory(*level))
            break;
    }
    return false;
}

// Files put by a test stand for what was on disk before: durable at once.
void FakeFileSystem::put_file(std::string_view path, std::string_view content) {
    put_file(path, std::vector<std::uint8_t>(content.begin(), content.end()));
}

void FakeFileSystem::put_file(std::string_view path, const std::vector<std::uint8_t>& content) {
    files[key(path)] = content;
    track_new_name(key(path), true);
}

std::optional<std::string> FakeFileSystem::file_text(std::string_view path) const {
    auto it = files.find(key(path));
    if (it == files.end())
        return std::nullopt;
    return std::string(it->second.begin(), it->second.end());
}

bool FakeFileSystem::is_restricted(std::string_view path) const {
    return restricted_.count(key(path)) > 0;
}

std::vector<std::string> FakeFileSystem::all_files() const {
    std::vector<std::string> names;
    for (auto& [f, _] : files)
        names.push_back(f);
    return names;
}

void FakeFileSystem::start_durability_tracking() {
    tracking_ = true;
    inode_of_.clear();
    durable_names_.clear();
    durable_data_.clear();
    for (const auto& [path, _] : files)
        track_new_name(path, true);
}

void FakeFileSystem::track_new_name(const std::string& path, bool durable) {
    if (!tracking_)
        return;
    const std::uint64_t inode = next_inode_++;
    inode_of_[path] = inode;
    durable_data_[inode] = durable ? files[path] : std::vector<std::uint8_t>{};
    if (durable)
        durable_names_[path] = inode;
}

// Like fsync of a directory: every entry it holds now, and only those, is on disk.
void FakeFileSystem::sync_directory_of(const std::string& path) {
    const auto directory = parent_directory(path);
    auto in_directory = [&](const std::string& p) { return parent_directory(p) == directory; };
    std::erase_if(durable_names_, [&](auto& entry) { return in_directory(entry.first); });
    for (const auto& [p, inode] : inode_of_) {
        if (in_directory(p))
            durable_names_[p] = inode;
    }
}

std::vector<std::uint8_t> FakeFileSystem::surviving_data(const std::string& path,
                                                         std::uint64_t inode,
                                                         CrashLoss loss) const {
    const auto durable = durable_data_.find(inode);
    std::vector<std::uint8_t> kept =
        durable == durable_data_.end() ? std::vector<std::uint8_t>{} : durable->second;
    const auto current = files.find(path);
    if (loss != CrashLoss::torn_data || current == files.end())
        return kept;
    // Half of what was appended since the last flush reaches the disk.
    const auto& now = current->second;
    if (now.size() > kept.size() && std::equal(kept.begin(), kept.end(), now.begin())) {
        const std::size_t extra = (now.size() - kept.size()) / 2;
        kept.insert(kept.end(), now.begin() + static_cast<std::ptrdiff_t>(kept.size()),
                    now.begin() + static_cast<std::ptrdiff_t>(kept.size() + extra));
    }
    return kept;
}

void FakeFileSystem::crash(CrashLoss loss) {
    open_.clear();
    if (!tracking_ || loss == CrashLoss::nothing)
        return;
    const auto& names = loss == CrashLoss::unsynced ? durable_names_ : inode_of_;
    std::map<std::string, std::vector<std::uint8_t>> survivors;
    for (const auto& [path, inode] : names)
        survivors[path] = surviving_data(path, inode, loss);
    files = std::move(survivors);
    start_durability_tracking();
}

}  // namespace velnaro::fake
