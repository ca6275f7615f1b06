#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fake/faults.hpp"
#include "platform/file_system.hpp"

namespace velnaro::fake {

// An absolute root for fake paths on the system the tests are built for.
std::string fake_root();

// Files and directories in memory. Paths are compared as given after folding the
// separators, so tests should build them with join_path.
class FakeFileSystem final : public platform::FileSystem {
  public:
    explicit FakeFileSystem(Faults& faults);

    platform::PathKind path_kind(std::string_view path) override;
    platform::OsResult<void> create_directories(std::string_view path) override;
    platform::OsResult<platform::DirectoryTrust> directory_trust(std::string_view path) override;
    std::expected<std::string, platform::HoldFailure> hold_directory(
        std::string_view path, std::size_t own_levels) override;
    platform::OsResult<std::string> canonical_directory(std::string_view path) override;
    platform::OsResult<platform::OwnedFile> create_new_file(std::string_view path) override;
    platform::OsResult<std::size_t> write_file(platform::FileHandle file,
                                               std::span<const std::uint8_t> bytes) override;
    platform::OsResult<void> flush_file(platform::FileHandle file) override;
    void close_file(platform::FileHandle file) override;
    platform::OsResult<std::vector<std::uint8_t>> read_file(std::string_view path,
                                                            std::size_t max_bytes) override;
    platform::OsResult<void> delete_file(std::string_view path) override;
    platform::OsResult<void> move_file(std::string_view from, std::string_view to,
                                       platform::MoveMode mode) override;
    platform::OsResult<std::vector<std::string>> list_directory(std::string_view path) override;
    platform::OsResult<void> remove_tree(std::string_view path) override;
    platform::OsResult<std::string> temporary_directory() override;
    platform::OsResult<void> restrict_access(std::string_view path) override;
    platform::OsResult<bool> replaceable_by_others(std::string_view path,
                                         platform::TrustedOwners owners) override;

    // Test helpers.
    void put_file(std::string_view path, std::string_view content);
    void put_file(std::string_view path, const std::vector<std::uint8_t>& content);
    std::optional<std::string> file_text(std::string_view path) const;
    bool is_restricted(std::string_view path) const;
    std::vector<std::string> all_files() const;
    // Maximum bytes one write accepts (to exercise partial writes); 0 = unlimited.
    std::size_t write_chunk = 0;
    std::set<std::string> directories;
    // What directory_trust and hold_directory find at a level instead of looking at
    // `directories`.
    std::map<std::string, platform::DirectoryTrust> planted;
    // Directories held, and the own_levels each was held with.
    std::map<std::string, std::size_t> held;
    // Paths that another account could replace, and with them everything below them.
    std::set<std::string> replaceable;
    // Owned by the account running the test: trusted only when that account is.
    std::set<std::string> owned_by_running_account;
    std::map<std::string, std::vector<std::uint8_t>> files;
    int open_handles() const { return static_cast<int>(open_.size()); }

    // Crash model. From start_durability_tracking on, file data reaches the disk only
    // through flush_file, and a name that was created, moved or deleted only when a
    // write-through move syncs its directory: the Linux rules, which keep the least.
    // crash() replaces the files with what survives and forgets every open handle.
    enum class CrashLoss {
        nothing,         // the process died, the system kept running
        unsynced,        // power cut: unsynced names and unflushed data are gone
        unflushed_data,  // names survive, data written since the last flush does not
        torn_data,       // names survive, half of the unflushed data does
    };
    void start_durability_tracking();
    void crash(CrashLoss loss);

  private:
    std::string key(std::string_view path) const;
    bool parent_exists(const std::string& path) const;

    Faults& faults_;
    std::set<std::string> restricted_;
    std::map<std::uintptr_t, std::string> open_;
    std::uintptr_t next_handle_ = 1;

    void track_new_name(const std::string& path, bool durable);
    void sync_directory_of(const std::string& path);
    std::vector<std::uint8_t> surviving_data(const std::string& path, std::uint64_t inode,
                                             CrashLoss loss) const;
    bool tracking_ = false;
    std::uint64_t next_inode_ = 1;
    std::map<std::string, std::uint64_t> inode_of_;
    std::map<std::string, std::uint64_t> durable_names_;
    std::map<std::uint64_t, std::vector<std::uint8_t>> durable_data_;
};

}  // namespace velnaro::fake
