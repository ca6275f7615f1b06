#pragma once

#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/owned_fd.hpp"
#include "platform/posix/pipes.hpp"

namespace velnaro::platform {

// The socket address of `path`; false when the path cannot be one (empty, too long, or with a
// zero byte). Both the server and the client side use it.
bool fill_address(std::string_view path, sockaddr_un& address);

struct PosixPipes::Endpoint {
    enum class Kind { server, served, client };
    Kind kind = Kind::client;
    std::string path;

    // A server: the socket folder it holds open, its lock and listener.
    OwnedFd folder;
    std::string socket_name;
    OwnedFd lock;
    OwnedFd listener;
    ino_t socket_inode = 0;
    LoginUidRange uids;
    std::string admitted_group;
    // Accepting pauses while the process has no descriptor or memory to spare.
    std::chrono::steady_clock::time_point accept_paused_until{};

    // A served connection (with its server) or a client's own socket.
    OwnedFd connection;
    std::uintptr_t server = 0;
    bool reading = true;  // false once the client has sent everything it will
    // Client side: what lstat said of the socket file just before the connect.
    ServerCheck socket_file = ServerCheck::unverifiable;

    ~Endpoint() {
        if (kind != Kind::server || socket_inode == 0)
            return;
        listener.reset();
        // Only the socket this server bound is removed; a successor's is left alone.
        struct stat info {};
        if (::fstatat(folder.get(), socket_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISSOCK(info.st_mode) && info.st_ino == socket_inode) {
            ::unlinkat(folder.get(), socket_name.c_str(), 0);
        }
    }
};

}  // namespace velnaro::platform
