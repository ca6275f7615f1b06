#include "platform/posix/pipes.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "core/paths.hpp"
#include "platform/posix/owned_fd.hpp"

namespace velnaro::platform {

namespace {

constexpr int kListenBacklog = 16;
constexpr mode_t kSocketDirectoryMode = 0755;
constexpr mode_t kSocketMode = 0666;

}  // namespace

struct PosixPipes::Endpoint {
    bool server = false;
    std::string path;
    OwnedFd lock;
    OwnedFd listener;
    OwnedFd connection;  // the served client, or the client's own socket
    ino_t socket_inode = 0;
    LoginUidRange uids;
    // Client side: what lstat said of the socket file just before the connect.
    ServerCheck socket_file = ServerCheck::unverifiable;

    ~Endpoint() {
        if (!server)
            return;
        connection.reset();
        listener.reset();
        // Only the socket this server bound is removed; a successor's is left alone.
        struct stat info {};
        if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
            info.st_ino == socket_inode) {
            ::unlink(path.c_str());
        }
    }
};

namespace {

LoginUidRange read_login_uid_range() {
    std::ifstream file("/etc/login.defs");
    std::stringstream text;
    text << file.rdbuf();
    return parse_login_uid_range(text.str());
}

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

bool prepare_directory(const std::string& directory) {
    if (::mkdir(directory.c_str(), kSocketDirectoryMode) != 0 && errno != EEXIST)
        return false;
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    if (info.st_uid == ::geteuid() && (info.st_mode & 07777) != kSocketDirectoryMode) {
        return ::chmod(directory.c_str(), kSocketDirectoryMode) == 0;
    }
    return true;
}

OwnedFd take_instance_lock(const std::string& socket_path) {
    const std::string lock_path = socket_path + ".lock";
    OwnedFd fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd)
        return {};
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return {};
    return fd;
}

// Binds the socket, replacing a stale socket file but never a live server's.
bool bind_socket(int fd, const std::string& path) {
    sockaddr_un address{};
    if (!fill_address(path, address))
        return false;
    const auto* raw = reinterpret_cast<const sockaddr*>(&address);
    if (::bind(fd, raw, sizeof(address)) == 0)
        return true;
    if (errno != EADDRINUSE)
        return false;
    if (connect_socket(path))
        return false;
    if (errno != ECONNREFUSED)
        return false;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode))
        return false;
    if (::unlink(path.c_str()) != 0)
        return false;
    return ::bind(fd, raw, sizeof(address)) == 0;
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

PosixPipes::PosixPipes() = default;
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

std::optional<PipeHandle> PosixPipes::create_server(std::string_view name) {
    auto endpoint = std::make_shared<Endpoint>();
    endpoint->path = std::string(name);
    if (!is_absolute_path(name) || name.find('\0') != std::string_view::npos)
        return {};
    const auto directory = parent_directory(endpoint->path);
    if (!directory || !prepare_directory(*directory))
        return {};
    endpoint->lock = take_instance_lock(endpoint->path);
    if (!endpoint->lock)
        return {};
    endpoint->listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!endpoint->listener)
        return {};
    if (!bind_socket(endpoint->listener.get(), endpoint->path))
        return {};
    struct stat info {};
    if (::lstat(endpoint->path.c_str(), &info) != 0)
        return {};
    endpoint->socket_inode = info.st_ino;
    endpoint->server = true;
    if (::chmod(endpoint->path.c_str(), kSocketMode) != 0)
        return {};
    if (::listen(endpoint->listener.get(), kListenBacklog) != 0)
        return {};
    endpoint->uids = read_login_uid_range();
    return keep(std::move(endpoint));
}

PipeWait PosixPipes::wait_for_client(PipeHandle server, std::chrono::milliseconds limit) {
    const auto endpoint = find(server);
    if (!endpoint || !endpoint->server)
        return PipeWait::failed;
    endpoint->connection.reset();
    const int ready = wait_ready(endpoint->listener.get(), POLLIN, limit);
    if (ready < 0)
        return PipeWait::failed;
    if (ready == 0)
        return PipeWait::timed_out;
    OwnedFd client(
        ::accept4(endpoint->listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client) {
        return (errno == EBADF || errno == EINVAL || errno == ENOTSOCK) ? PipeWait::failed
                                                                        : PipeWait::timed_out;
    }
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        !peer_may_connect(peer.uid, endpoint->uids)) {
        // A system account is dropped without a word; the wait goes on at the caller.
        return PipeWait::timed_out;
    }
    endpoint->connection = std::move(client);
    return PipeWait::connected;
}

// Data written to a Unix socket stays readable by the peer after this end is closed, so
// there is nothing to wait for.
void PosixPipes::flush(PipeHandle, std::chrono::milliseconds) {}

bool PosixPipes::disconnect(PipeHandle server) {
    const auto endpoint = find(server);
    if (!endpoint || !endpoint->server)
        return false;
    endpoint->connection.reset();
    return true;
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
    if (!endpoint || endpoint->server || !endpoint->connection)
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
