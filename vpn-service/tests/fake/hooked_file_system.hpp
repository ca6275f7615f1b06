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
        return call("path_kind", p)->path_kind(p);
    }
    platform::OsResult<void> create_directories(std::string_view p) override {
        return call("create_directories", p)->create_directories(p);
    }
    platform::OsResult<platform::DirectoryTrust> directory_trust(std::string_view p) override {
        return call("directory_trust", p)->directory_trust(p);
    }
    std::expected<std::string, platform::HoldFailure> hold_directory(std::string_view p,
                                                                     std::size_t own) override {
        return call("hold_directory", p)->hold_directory(p, own);
    }
    platform::OsResult<std::string> canonical_directory(std::string_view p) override {
        return call("canonical_directory", p)->canonical_directory(p);
    }
    platform::OsResult<platform::OwnedFile> create_new_file(std::string_view p) override {
        return call("create_new_file", p)->create_new_file(p);
    }
    platform::OsResult<std::size_t> write_file(platform::FileHandle f,
                                               std::span<const std::uint8_t> bytes) override {
        if (on_write)
            return on_write(bytes);
        return call("write_file", {})->write_file(f, bytes);
    }
    platform::OsResult<void> flush_file(platform::FileHandle f) override {
        return call("flush_file", {})->flush_file(f);
    }
    void close_file(platform::FileHandle f) override { call("close_file", {})->close_file(f); }
    platform::OsResult<std::vector<std::uint8_t>> read_file(std::string_view p,
                                                            std::size_t max_bytes) override {
        auto bytes = call("read_file", p)->read_file(p, max_bytes);
        if (bytes && on_read && file_name(p) == "VelnaroTunnel.conf.dpapi" && !on_read(*bytes)) {
            return std::unexpected(platform::OsError{5, "read", std::string(p)});
        }
        return bytes;
    }
    platform::OsResult<void> delete_file(std::string_view p) override {
        return call("delete_file", p)->delete_file(p);
    }
    platform::OsResult<void> move_file(std::string_view from, std::string_view to,
                                       platform::MoveMode m) override {
        return call("move_file", from)->move_file(from, to, m);
    }
    platform::OsResult<std::vector<std::string>> list_directory(std::string_view p) override {
        auto names = call("list_directory", p)->list_directory(p);
        if (names && on_list)
            on_list(*names);
        return names;
    }
    platform::OsResult<void> remove_tree(std::string_view p) override {
        return call("remove_tree", p)->remove_tree(p);
    }
    platform::OsResult<std::string> temporary_directory() override {
        return call("temporary_directory", {})->temporary_directory();
    }
    platform::OsResult<void> restrict_access(std::string_view p) override {
        return call("restrict_access", p)->restrict_access(p);
    }
    platform::OsResult<bool> replaceable_by_others(std::string_view p) override {
        return call("replaceable_by_others", p)->replaceable_by_others(p);
    }

  private:
    // The inner file system, locked until the end of the statement that calls it.
    struct Held {
        std::unique_lock<std::mutex> lock;
        platform::FileSystem* inner;
        platform::FileSystem* operator->() const { return inner; }
    };
    Held call(std::string_view operation, std::string_view path) {
        if (before)
            before(operation, path);
        return {std::unique_lock(serial_), &inner_};
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
