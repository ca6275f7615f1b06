#include "platform/posix/pipes.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

#include "platform/paths.hpp"
#include "platform/posix/owned_fd.hpp"
#include "platform/posix/pipe_endpoint.hpp"

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
    std::istringstream lines{std::string(login_defs)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string key;
        long long value = -1;
        if (!(fields >> key >> value) || value < 0 || value > 0xFFFFFFFFll)
            continue;
        if (key == "UID_MIN")
            range.first = static_cast<uid_t>(value);
        if (key == "UID_MAX")
            range.last = static_cast<uid_t>(value);
    }
    return range;
}

bool peer_may_connect(uid_t uid, const LoginUidRange& range) {
    return uid == 0 || (uid >= range.first && uid <= range.last);
}

PosixPipes::PosixPipes(std::string admitted_group) : admitted_group_(std::move(admitted_group)) {}
PosixPipes::~PosixPipes() = default;

std::shared_ptr<PosixPipes::Endpoint> PosixPipes::find(PipeHandle handle) {
    std::lock_guard lock(mutex_);
    const auto found = endpoints_.find(handle.value);
    return found == endpoints_.end() ? nullptr : found->second;
}

PipeHandle PosixPipes::keep(std::shared_ptr<Endpoint> endpoint) {
    std::lock_guard lock(mutex_);
    const std::uintptr_t value = next_handle_++;
    endpoints_.emplace(value, std::move(endpoint));
    return PipeHandle{value};
}

PipeIo PosixPipes::read(PipeHandle pipe, std::span<std::uint8_t> buffer,
                        std::chrono::milliseconds limit) {
    const auto endpoint = find(pipe);
    if (!endpoint || !endpoint->connection || buffer.empty())
        return {PipeIoStatus::failed, 0};
    const int fd = endpoint->connection.get();
    // A request usually arrives with its connection, so the bytes are tried first and the
    // wait is paid only when there is nothing yet.
    ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0 && errno == EAGAIN) {
        const int ready = wait_ready(fd, POLLIN, limit);
        if (ready < 0)
            return {PipeIoStatus::failed, 0};
        if (ready == 0)
            return {PipeIoStatus::timed_out, 0};
        got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    }
    if (got > 0)
        return {PipeIoStatus::done, static_cast<std::size_t>(got)};
    if (got == 0 || is_gone(errno))
        return {PipeIoStatus::closed, 0};
    if (errno == EAGAIN || errno == EINTR)
        return {PipeIoStatus::timed_out, 0};
    return {PipeIoStatus::failed, 0};
}

PipeIo PosixPipes::write(PipeHandle pipe, std::span<const std::uint8_t> data,
                         std::chrono::milliseconds limit) {
    const auto endpoint = find(pipe);
    if (!endpoint || !endpoint->connection || data.empty())
        return {PipeIoStatus::failed, 0};
    const int fd = endpoint->connection.get();
    // An answer fits the socket's buffer, so the wait is paid only when it is full.
    ssize_t sent = ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0 && errno == EAGAIN) {
        const int ready = wait_ready(fd, POLLOUT, limit);
        if (ready < 0)
            return {PipeIoStatus::failed, 0};
        if (ready == 0)
            return {PipeIoStatus::timed_out, 0};
        sent = ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    if (sent > 0)
        return {PipeIoStatus::done, static_cast<std::size_t>(sent)};
    if (sent < 0 && is_gone(errno))
        return {PipeIoStatus::closed, 0};
    if (sent < 0 && (errno == EAGAIN || errno == EINTR))
        return {PipeIoStatus::timed_out, 0};
    return {PipeIoStatus::failed, 0};
}

void PosixPipes::close(PipeHandle pipe) {
    std::shared_ptr<Endpoint> endpoint;
    {
        std::lock_guard lock(mutex_);
        const auto found = endpoints_.find(pipe.value);
        if (found == endpoints_.end())
            return;
        endpoint = std::move(found->second);
        endpoints_.erase(found);
        if (endpoint->kind != Endpoint::Kind::server)
            return;
        // A server's connections end with it.
        std::erase_if(endpoints_, [&](const auto& entry) {
            return entry.second->kind == Endpoint::Kind::served &&
                   entry.second->server == pipe.value;
        });
    }
}

bool PosixPipes::pipe_exists(std::string_view name) {
    if (connect_socket(name))
        return true;
    // A full backlog still means somebody is listening.
    return errno == EAGAIN;
}

std::expected<PipeHandle, PipeOpenError> PosixPipes::open_client(std::string_view name,
                                                                 std::chrono::milliseconds wait,
                                                                 ClientIdentity) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    const std::string path(name);
    for (;;) {
        const ServerCheck socket_file = check_socket_file(path);
        OwnedFd fd = connect_socket(name);
        if (fd) {
            auto endpoint = std::make_shared<Endpoint>();
            endpoint->path = path;
            endpoint->connection = std::move(fd);
            endpoint->socket_file = socket_file;
            return keep(std::move(endpoint));
        }
        // Only a busy server (full backlog) is worth waiting for, as with a busy pipe.
        if (errno != EAGAIN || std::chrono::steady_clock::now() >= deadline) {
            return std::unexpected(PipeOpenError::unavailable);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ServerCheck PosixPipes::verify_server(PipeHandle client) {
    const auto endpoint = find(client);
    if (!endpoint || endpoint->kind != Endpoint::Kind::client || !endpoint->connection)
        return ServerCheck::unverifiable;
    if (endpoint->socket_file != ServerCheck::privileged_service)
        return endpoint->socket_file;
    // The file could have been swapped between the lstat and the connect; the credentials
    // the listener had when it called listen() cannot.
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(endpoint->connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return ServerCheck::unverifiable;
    return peer.uid == 0 ? ServerCheck::privileged_service : ServerCheck::other_account;
}

}  // namespace velnaro::platform
