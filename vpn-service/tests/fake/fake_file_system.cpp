#include "fake/fake_file_system.hpp"

#include <algorithm>

#include "platform/paths.hpp"
#include "core/utf.hpp"

namespace velnaro::fake {

using platform::FileHandle;
using platform::MoveMode;
using platform::OsResult;
using platform::PathKind;

namespace {

// Error numbers as the system the tests are built for reports them: an injected fault reads
// as an I/O error (Windows: access denied, the same number).
#ifdef _WIN32
constexpr std::uint32_t kInjected = 5, kNotFound = 2, kExists = 80, kNotDirectory = 267,
                        kBadHandle = 6, kInvalid = 123;
#else
constexpr std::uint32_t kInjected = 5, kNotFound = 2, kExists = 17, kNotDirectory = 20,
                        kBadHandle = 9, kInvalid = 22;
#endif

// What the systems refuse before any call: an embedded zero or text that is not UTF-8.
bool refused_path(std::string_view path) {
    return path.empty() || path.find('\0') != std::string_view::npos || !is_valid_utf8(path);
}

std::unexpected<platform::OsError> failure(std::string_view operation, std::string_view subject,
                                           std::uint32_t code = kInjected) {
    return std::unexpected(platform::OsError{code, std::string(operation), std::string(subject)});
}

}  // namespace

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

OsResult<void> FakeFileSystem::create_directories(std::string_view path) {
    std::string k = key(path);
    if (faults_.should_fail("create_directories"))
        return failure("mkdir", k);
    if (!is_absolute_path(k) || refused_path(k))
        return failure("mkdir", k, kInvalid);
    std::vector<std::string> chain;
    for (std::optional<std::string> p = k; p && !directories.count(key(*p));
         p = parent_directory(*p)) {
        if (files.count(key(*p)))
            return failure("mkdir", key(*p), kNotDirectory);
        chain.push_back(key(*p));
        if (parent_directory(*p) == p)
            break;
    }
    for (auto& d : chain)
        directories.insert(d);
    return {};
}

OsResult<platform::DirectoryTrust> FakeFileSystem::directory_trust(std::string_view path) {
    using platform::DirectoryTrust;
    const std::string k = key(path);
    if (faults_.should_fail("directory_trust"))
        return failure("lstat", k);
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
    if (faults_.should_fail("hold_directory") || !is_absolute_path(k)) {
        return std::unexpected(
            platform::HoldFailure{DirectoryTrust::unknown, k, failure("open", k).error()});
    }
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
        platform::OsError error{0, "", *level};
        if (trust == DirectoryTrust::missing) {
            if (!faults_.should_fail("hold_directory.create")) {
                directories.insert(*level);
                trust = DirectoryTrust::trusted;
            } else {
                error = failure("mkdir", *level).error();
            }
        }
        if (trust != DirectoryTrust::trusted)
            return std::unexpected(platform::HoldFailure{trust, *level, std::move(error)});
    }
    held[k] = own_levels;
    return k;
}

OsResult<std::string> FakeFileSystem::canonical_directory(std::string_view path) {
    const std::string k = key(path);
    if (faults_.should_fail("canonical_directory"))
        return failure("realpath", k);
    if (!is_absolute_path(k))
        return failure("realpath", k, kInvalid);
    if (!directories.count(k))
        return failure("realpath", k, files.count(k) ? kNotDirectory : kNotFound);
    return k;
}

OsResult<platform::OwnedFile> FakeFileSystem::create_new_file(std::string_view path) {
    const std::string k = key(path);
    if (faults_.should_fail("create_new_file"))
        return failure("open", k);
    if (refused_path(k))
        return failure("open", k, kInvalid);
    if (files.count(k) || directories.count(k))
        return failure("open", k, kExists);
    if (!parent_exists(k))
        return failure("open", k, kNotFound);
    files[k] = {};
    track_new_name(k, false);
    const std::uintptr_t handle = next_handle_++;
    open_[handle] = k;
    return platform::OwnedFile(FileHandle{handle}, platform::FilePolicy{this});
}

OsResult<std::size_t> FakeFileSystem::write_file(FileHandle file,
                                                 std::span<const std::uint8_t> bytes) {
    auto it = open_.find(file.value);
    const std::string subject = it == open_.end() ? "" : it->second;
    if (faults_.should_fail("write_file"))
        return failure("write", subject);
    if (it == open_.end())
        return failure("write", "", kBadHandle);
    std::size_t n = bytes.size();
    if (write_chunk != 0)
        n = std::min(n, write_chunk);
    auto& content = files[it->second];
    content.insert(content.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

OsResult<void> FakeFileSystem::flush_file(FileHandle file) {
    auto it = open_.find(file.value);
    if (faults_.should_fail("flush_file"))
        return failure("fsync", it == open_.end() ? "" : it->second);
    if (it == open_.end())
        return failure("fsync", "", kBadHandle);
    if (tracking_)
        durable_data_[inode_of_[it->second]] = files[it->second];
    return {};
}

void FakeFileSystem::close_file(FileHandle file) {
    faults_.should_fail("close_file");
    open_.erase(file.value);
}

OsResult<std::vector<std::uint8_t>> FakeFileSystem::read_file(std::string_view path,
                                                              std::size_t max_bytes) {
    const std::string k = key(path);
    if (faults_.should_fail("read_file"))
        return failure("open", k);
    auto it = files.find(k);
    if (it == files.end())
        return failure("open", k, kNotFound);
    const std::size_t n = std::min(it->second.size(), max_bytes + 1);
    return std::vector<std::uint8_t>(it->second.begin(),
                                     it->second.begin() + static_cast<std::ptrdiff_t>(n));
}

OsResult<void> FakeFileSystem::delete_file(std::string_view path) {
    const std::string k = key(path);
    if (faults_.should_fail("delete_file"))
        return failure("unlink", k);
    if (files.erase(k) == 0)
        return failure("unlink", k, kNotFound);
    inode_of_.erase(k);
    return {};
}

OsResult<void> FakeFileSystem::move_file(std::string_view from, std::string_view to,
                                         MoveMode mode) {
    const std::string f = key(from);
    const std::string t = key(to);
    if (faults_.should_fail("move_file"))
        return failure("rename", t);
    auto it = files.find(f);
    if (it == files.end() || !parent_exists(t))
        return failure("rename", t, kNotFound);
    if (directories.count(t) || (mode == MoveMode::no_replace_write_through && files.count(t)))
        return failure("rename", t, kExists);
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
    return {};
}

OsResult<std::vector<std::string>> FakeFileSystem::list_directory(std::string_view path) {
    const std::string k = key(path);
    if (faults_.should_fail("list_directory"))
        return failure("opendir", k);
    if (!directories.count(k))
        return failure("opendir", k, files.count(k) ? kNotDirectory : kNotFound);
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

OsResult<void> FakeFileSystem::remove_tree(std::string_view path) {
    const std::string k = key(path);
    if (faults_.should_fail("remove_tree"))
        return failure("rmdir", k);
    if (!directories.count(k))
        return failure("rmdir", k, files.count(k) ? kNotDirectory : kNotFound);
    auto inside = [&](const std::string& p) {
        return p == k || (p.size() > k.size() && p.compare(0, k.size(), k) == 0 &&
                          (p[k.size()] == '/' || p[k.size()] == '\\'));
    };
    std::erase_if(directories, inside);
    std::erase_if(files, [&](auto& entry) { return inside(entry.first); });
    std::erase_if(inode_of_, [&](auto& entry) { return inside(entry.first); });
    return {};
}

OsResult<std::string> FakeFileSystem::temporary_directory() {
    if (faults_.should_fail("temporary_directory"))
        return failure("temporary_directory", "");
    const std::string tmp = join_path(fake_root(), "tmp");
    directories.insert(key(tmp));
    return tmp;
}

// Faults: "restrict_access.descriptor" (the rule cannot be built), "restrict_access".
OsResult<void> FakeFileSystem::restrict_access(std::string_view path) {
    const std::string k = key(path);
    if (faults_.should_fail("restrict_access.descriptor"))
        return failure(platform::kBuildDescriptorOperation, k, kInvalid);
    if (faults_.should_fail("restrict_access"))
        return failure("fchmod", k);
    if (!files.count(k) && !directories.count(k))
        return failure("open", k, kNotFound);
    restricted_.insert(k);
    return {};
}

platform::OsResult<bool> FakeFileSystem::replaceable_by_others(std::string_view path,
                                                               platform::TrustedOwners owners) {
    const std::string k = key(path);
    if (faults_.should_fail("replaceable_by_others"))
        return failure("lstat", k);
    for (std::optional<std::string> level = k; level; level = parent_directory(*level)) {
        if (replaceable.count(*level))
            return true;
        if (owners == platform::TrustedOwners::service && owned_by_running_account.count(*level))
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
