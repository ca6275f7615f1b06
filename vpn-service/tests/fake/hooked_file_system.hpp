#pragma once

#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fake/fake_components.hpp"
#include "fake/fake_platform.hpp"
#include "platform/paths.hpp"

namespace velnaro::fake {

// Forwards to the fake, with hooks that change single calls. Calls are serialised, so code
// under test may use it from two threads; `before` runs first, outside that lock, and may
// pause the calling thread.
class HookedFileSystem final : public platform::FileSystem {
  public:
    explicit HookedFileSystem(platform::FileSystem& inner) : inner_(inner) {}

    std::function<void(std::string_view operation, std::string_view path)> before;
    std::function<platform::OsResult<std::size_t>(std::span<const std::uint8_t>)> on_write;
    std::function<void(std::vector<std::string>&)> on_list;
    // Sees the stored configuration's bytes; false makes the read fail.
    std::function<bool(std::vector<std::uint8_t>&)> on_read;

    platform::PathKind path_kind(std::string_view p) override {
        const auto held = enter("path_kind", p);
        return inner_.path_kind(p);
    }
    platform::OsResult<void> create_directories(std::string_view p) override {
        const auto held = enter("create_directories", p);
        return inner_.create_directories(p);
    }
    platform::OsResult<platform::DirectoryTrust> directory_trust(std::string_view p) override {
        const auto held = enter("directory_trust", p);
        return inner_.directory_trust(p);
    }
    std::expected<std::string, platform::HoldFailure> hold_directory(std::string_view p,
                                                                     std::size_t own) override {
        const auto held = enter("hold_directory", p);
        return inner_.hold_directory(p, own);
    }
    platform::OsResult<std::string> canonical_directory(std::string_view p) override {
        const auto held = enter("canonical_directory", p);
        return inner_.canonical_directory(p);
    }
    platform::OsResult<platform::OwnedFile> create_new_file(std::string_view p) override {
        const auto held = enter("create_new_file", p);
        return inner_.create_new_file(p);
    }
    platform::OsResult<std::size_t> write_file(platform::FileHandle f,
                                               std::span<const std::uint8_t> bytes) override {
        const auto held = enter("write_file", {});
        if (on_write)
            return on_write(bytes);
        return inner_.write_file(f, bytes);
    }
    platform::OsResult<void> flush_file(platform::FileHandle f) override {
        const auto held = enter("flush_file", {});
        return inner_.flush_file(f);
    }
    void close_file(platform::FileHandle f) override {
        const auto held = enter("close_file", {});
        inner_.close_file(f);
    }
    platform::OsResult<std::vector<std::uint8_t>> read_file(std::string_view p,
                                                            std::size_t max_bytes) override {
        const auto held = enter("read_file", p);
        auto bytes = inner_.read_file(p, max_bytes);
        if (bytes && on_read && file_name(p) == "VelnaroTunnel.conf.dpapi" && !on_read(*bytes)) {
            return std::unexpected(platform::OsError{5, "read", std::string(p)});
        }
        return bytes;
    }
    platform::OsResult<void> delete_file(std::string_view p) override {
        const auto held = enter("delete_file", p);
        return inner_.delete_file(p);
    }
    platform::OsResult<void> move_file(std::string_view from, std::string_view to,
                                       platform::MoveMode m) override {
        const auto held = enter("move_file", from);
        return inner_.move_file(from, to, m);
    }
    platform::OsResult<std::vector<std::string>> list_directory(std::string_view p) override {
        const auto held = enter("list_directory", p);
        auto names = inner_.list_directory(p);
        if (names && on_list)
            on_list(*names);
        return names;
    }
    platform::OsResult<void> remove_tree(std::string_view p) override {
        const auto held = enter("remove_tree", p);
        return inner_.remove_tree(p);
    }
    platform::OsResult<std::string> temporary_directory() override {
        const auto held = enter("temporary_directory", {});
        return inner_.temporary_directory();
    }
    platform::OsResult<void> restrict_access(std::string_view p) override {
        const auto held = enter("restrict_access", p);
        return inner_.restrict_access(p);
    }
    platform::OsResult<bool> replaceable_by_others(std::string_view p) override {
        const auto held = enter("replaceable_by_others", p);
        return inner_.replaceable_by_others(p);
    }

  private:
    std::unique_lock<std::mutex> enter(std::string_view operation, std::string_view path) {
        if (before)
            before(operation, path);
        return std::unique_lock(serial_);
    }

    platform::FileSystem& inner_;
    std::mutex serial_;
};

struct HookedPlatform {
    FakePlatform fake;
    HookedFileSystem files{fake.files};
    platform::Platform platform{files,         fake.system, fake.sealing, fake.loader,
                                fake.services, fake.pipes,  fake.host,    fake.log};
    Runtime runtime{platform, fake.components};

    HookedPlatform() { fake::install_fake_components(fake); }
};

}  // namespace velnaro::fake
