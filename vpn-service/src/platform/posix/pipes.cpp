#include "platform/posix/pipes.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "platform/paths.hpp"
#include "platform/posix/owned_fd.hpp"
#include "platform/posix/pipe_endpoint.hpp"
#include "platform/posix/text_file.hpp"

namespace velnaro::platform {

bool fill_address(std::string_view path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path) ||
        path.find('\0') != std::string_view::npos) {
        return false;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

OsError os_error(int code, const char* operation, std::string_view path) {
    return {static_cast<std::uint32_t>(code), operation, std::string(path)};
}

namespace {

// A connected, non-blocking client socket; errno tells why there is none.
OwnedFd connect_socket(std::string_view path) {
    sockaddr_un address{};
    if (!fill_address(path, address)) {
        errno = EINVAL;
        return {};
    }
    OwnedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return {};
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return {};
    }
    return fd;
}

int milliseconds_of(std::chrono::milliseconds limit) {
    if (limit.count() <= 0)
        return 0;
    if (limit.count() > 0x7FFFFFFF)
        return 0x7FFFFFFF;
    return static_cast<int>(limit.count());
}

// Waits for `events` on `fd`: 1 when ready, 0 on time-out, -1 on error.
int wait_ready(int fd, short events, std::chrono::milliseconds limit) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, milliseconds_of(limit));
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    return ready;
}

// lstat, so a link planted in place of the socket is refused rather than followed.
ServerCheck check_socket_file(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return ServerCheck::unverifiable;
    if (!S_ISSOCK(info.st_mode) || info.st_uid != 0)
        return ServerCheck::other_account;
    return ServerCheck::privileged_service;
}

bool is_gone(int error) {
    return error == EPIPE || error == ECONNRESET || error == ENOTCONN;
}

}  // namespace

LoginUidRange parse_login_uid_range(std::string_view login_defs) {
    LoginUidRange range;
    for (const std::string_view line : split_text(login_defs, "\n")) {
        const auto fields = words_of(line);
        const auto value = fields.size() >= 2 ? leading_number(fields[1]) : std::nullopt;
        if (!value || *value > 0xFFFFFFFFull)
            continue;
        if (fields[0] == "UID_MIN")
            range.first = static_cast<uid_t>(*value);
        if (fields[0] == "UID_MAX")
            range.last = static_cast<uid_t>(*value);
    }
    return range;
}

bool peer_may_connect(uid_t uid, const LoginUidRange& range) {
    return uid == 0 || (uid >= range.first && uid <= range.last);
}

PosixPipes::PosixPipes(std::string admitted_group, Log& log)
    : admitted_group_(std::move(admitted_group)), log_(log) {}

bool PosixPipes::serves_own_account() {
    const auto range = parse_login_uid_range(read_text_file("/etc/login.defs").value_or(""));
    return peer_may_connect(::geteuid(), range);
}

PosixConnection::PosixConnection(OwnedFd fd, std::string path, bool client, ServerCheck socket_file)
    : socket_(std::make_shared<ConnectedSocket>()),
      path_(std::move(path)),
      client_(client),
      socket_file_(socket_file) {
    socket_->fd = std::move(fd);
    socket_->object = this;
}

// One recv or send, tried at once and only waited for when the socket is not ready: a
// request usually arrives with its connection, and an answer fits the socket's buffer.
template <class Move>
PipeIo PosixConnection::move_bytes(std::size_t size, short ready_for, const char* operation,
                                   std::chrono::milliseconds limit, Move move) {
    // A server that has ended closed its connections' descriptors.
    if (!socket_->fd || size == 0)
        return {PipeIoStatus::failed, 0, os_error(socket_->fd ? EINVAL : EBADF, operation, path_)};
    const int fd = socket_->fd.get();
    ssize_t moved = move(fd);
    if (moved < 0 && errno == EAGAIN) {
        const int ready = wait_ready(fd, ready_for, limit);
        if (ready < 0)
            return {PipeIoStatus::failed, 0, os_error(errno, "poll", path_)};
        if (ready == 0)
            return {PipeIoStatus::timed_out, 0};
        moved = move(fd);
    }
    if (moved > 0)
        return {PipeIoStatus::done, static_cast<std::size_t>(moved)};
    if (moved == 0 || is_gone(errno))
        return {PipeIoStatus::closed, 0};
    if (errno == EAGAIN || errno == EINTR)
        return {PipeIoStatus::timed_out, 0};
    return {PipeIoStatus::failed, 0, os_error(errno, operation, path_)};
}

PipeIo PosixConnection::read(std::span<std::uint8_t> buffer, std::chrono::milliseconds limit) {
    return move_bytes(buffer.size(), POLLIN, "recv", limit, [&](int fd) {
        return ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    });
}

PipeIo PosixConnection::write(std::span<const std::uint8_t> data, std::chrono::milliseconds limit) {
    return move_bytes(data.size(), POLLOUT, "send", limit, [&](int fd) {
        return ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    });
}

ServerCheck PosixConnection::verify_server() {
    if (!client_ || !socket_->fd)
        return ServerCheck::unverifiable;
    if (socket_file_ != ServerCheck::privileged_service)
        return socket_file_;
    // The file could have been swapped between the lstat and the connect; the credentials
    // the listener had when it called listen() cannot.
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(socket_->fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return ServerCheck::unverifiable;
    return peer.uid == 0 ? ServerCheck::privileged_service : ServerCheck::other_account;
}

bool PosixPipes::pipe_exists(std::string_view name) {
    if (connect_socket(name))
        return true;
    // A full backlog still means somebody is listening.
    return errno == EAGAIN;
}

std::expected<std::unique_ptr<PipeConnection>, PipeOpenError> PosixPipes::open_client(
    std::string_view name, std::chrono::milliseconds wait, ClientIdentity) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    std::string path(name);
    for (;;) {
        const ServerCheck socket_file = check_socket_file(path);
        OwnedFd fd = connect_socket(name);
        if (fd)
            return std::make_unique<PosixConnection>(std::move(fd), std::move(path), true,
                                                     socket_file);
        // Only a busy server (full backlog) is worth waiting for, as with a busy pipe.
        if (errno != EAGAIN || std::chrono::steady_clock::now() >= deadline) {
            return std::unexpected(
                PipeOpenError{PipeOpenError::unavailable, os_error(errno, "connect", path)});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace velnaro::platform
