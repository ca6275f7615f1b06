#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/owned.hpp"
#include "platform/platform.hpp"
#include "platform/posix/owned_fd.hpp"
#include "platform/posix/pipes.hpp"

namespace velnaro::platform {

// The socket address of `path`; false when the path cannot be one (empty, too long, or with a
// zero byte). Both the server and the client side use it.
bool fill_address(std::string_view path, sockaddr_un& address);

// The failure of `operation` on `path` with the errno it left.
OsError os_error(int code, const char* operation, std::string_view path);

// A connected socket. The connection object owns it; its server watches it through a weak
// reference and closes the descriptor when the server ends first.
struct ConnectedSocket {
    OwnedFd fd;
    bool reading = true;  // false once the client has sent everything it will
    const PipeConnection* object = nullptr;
};

// A server's connection or a client's own: the socket, closed when the object goes.
class PosixConnection final : public PipeConnection {
  public:
    PosixConnection(OwnedFd fd, std::string path, bool client, ServerCheck socket_file);

    PipeIo read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit) override;
    PipeIo write(std::span<const std::uint8_t> data, std::chrono::milliseconds limit) override;
    // Data written to a Unix socket stays readable by the peer after this end is closed, so
    // there is nothing to wait for.
    void flush(std::chrono::milliseconds) override {}
    ServerCheck verify_server() override;

    std::weak_ptr<ConnectedSocket> watch() const { return socket_; }

  private:
    template <class Move>
    PipeIo move_bytes(std::size_t size, short ready_for, const char* operation,
                      std::chrono::milliseconds limit, Move move);

    std::shared_ptr<ConnectedSocket> socket_;
    std::string path_;
    bool client_ = false;
    // Client side: what lstat said of the socket file just before the connect.
    ServerCheck socket_file_ = ServerCheck::unverifiable;
};

// The socket file a server bound. Only that file is removed when the server ends; a
// successor's, bound in its place since, is left alone.
struct BoundSocketPolicy {
    using Value = ino_t;
    static ino_t invalid() noexcept { return 0; }
    static bool is_valid(ino_t inode) noexcept { return inode != 0; }
    void close(ino_t inode) noexcept {
        struct stat info {};
        if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISSOCK(info.st_mode) && info.st_ino == inode) {
            ::unlinkat(folder, name.c_str(), 0);
        }
    }
    int folder = -1;  // held open by the server for as long as this
    std::string name;
};
using BoundSocket = Owned<BoundSocketPolicy>;

// Calls getgrnam_r (or a stand-in with its signature) with a buffer that grows while the
// entry does not fit. The group's id, nothing when there is no such group, or the error.
using GroupLookup = int (*)(const char*, group*, char*, std::size_t, group**);
std::expected<std::optional<gid_t>, int> find_group_id(const std::string& name,
                                                       GroupLookup lookup = ::getgrnam_r);

class PosixServer final : public PipeServer {
  public:
    ~PosixServer() override;
    OsResult<std::vector<PipeEvent>> wait_for_events(std::chrono::milliseconds limit) override;

    std::string path;
    std::string socket_name;
    LoginUidRange uids;
    std::string admitted_group;
    Log* log = &silent_log();
    // The error of the last failed group lookup, so that a lasting failure is logged once.
    int group_lookup_error = 0;
    // Declared in the order they are made, so they go in reverse: the listener closes before
    // its socket file is removed, and the folder that file is removed from closes last.
    OwnedFd folder;
    OwnedFd lock;
    BoundSocket socket_file;
    OwnedFd listener;

  private:
    void accept_client(std::span<std::uint8_t> buffer, std::vector<PipeEvent>& events);
    std::vector<std::shared_ptr<ConnectedSocket>> open_connections();

    // Accepting pauses while the process has no descriptor or memory to spare.
    std::chrono::steady_clock::time_point accept_paused_until_{};
    std::vector<std::weak_ptr<ConnectedSocket>> connections_;
};

}  // namespace velnaro::platform
