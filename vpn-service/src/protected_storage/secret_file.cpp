#include "protected_storage/secret_file.hpp"

#include <string>

#include "protected_storage/data_directory.hpp"

namespace velnaro {
namespace {

// Writes every byte, continuing after partial writes. A write that takes nothing would loop
// for ever, and one claiming more than it was given is a broken platform: neither leaves a
// file that can be trusted, so both count as failure.
platform::OsResult<void> write_all(platform::FileSystem& files, platform::FileHandle file,
                                   std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const auto written = files.write_file(file, bytes);
        if (!written)
            return std::unexpected(written.error());
        if (*written == 0 || *written > bytes.size())
            return std::unexpected(platform::OsError{0, "write", "no progress"});
        bytes = bytes.subspan(*written);
    }
    return {};
}

// The file is closed on return, whatever happened.
platform::OsResult<void> write_and_flush(platform::FileSystem& files, platform::OwnedFile file,
                                         std::span<const std::uint8_t> bytes) {
    if (auto written = write_all(files, file.get(), bytes); !written)
        return written;
    return files.flush_file(file.get());
}

}  // namespace

Outcome<void> write_secret_file(platform::Platform& platform, const SecretFileWrite& write,
                                std::span<const std::uint8_t> bytes) {
    auto& files = platform.files;
    auto file = files.create_new_file(write.temporary);
    if (!file) {
        // Nothing to delete: whatever holds the name is not ours.
        return fail(write.write_failed, file.error());
    }
    if (auto written = write_and_flush(files, std::move(*file), bytes); !written) {
        (void)files.delete_file(write.temporary);
        return fail(write.write_failed, written.error());
    }
    if (auto secured = secure_path(platform, write.temporary); !secured) {
        (void)files.delete_file(write.temporary);
        return fail(secured.error());
    }
    const auto mode = write.replace ? platform::MoveMode::replace_write_through
                                    : platform::MoveMode::no_replace_write_through;
    if (auto moved = files.move_file(write.temporary, write.path, mode); !moved) {
        (void)files.delete_file(write.temporary);
        return fail(write.move_failed, moved.error());
    }
    return {};
}

}  // namespace velnaro
