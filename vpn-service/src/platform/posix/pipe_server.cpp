#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/paths.hpp"
#include "platform/posix/pipe_endpoint.hpp"
#include "platform/posix/socket_folder.hpp"
#include "platform/posix/text_file.hpp"

namespace velnaro::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kListenBacklog = 128;
constexpr mode_t kSocketMode = 0666;
// How long accepting rests when the process has run out of descriptors or memory; the
// listener would otherwise stay readable and the loop spin.
constexpr std::chrono::milliseconds kAcceptBackoff{250};
constexpr std::size_t kReadChunk = 16384;

LoginUidRange read_login_uid_range() {
    return parse_login_uid_range(read_text_file("/etc/login.defs").value_or(""));
}

bool someone_listens(const sockaddr_un& address) {
    OwnedFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!probe)
        return false;
    const auto* raw = reinterpret_cast<const sockaddr*>(&address);
    return ::connect(probe.get(), raw, sizeof(address)) == 0 || errno == EAGAIN;
}

// The socket gets its mode from the descriptor and an empty umask at the bind itself, so no
// path is looked up to set it: a link swapped in afterwards changes nothing.
int bind_with_mode(int fd, const sockaddr_un& address) {
    if (::fchmod(fd, kSocketMode) != 0)
        return -1;
    const mode_t previous = ::umask(0);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int error = errno;
    ::umask(previous);
    errno = error;
    return bound;
}

std::unexpected<PipeServerError> server_error(PipeServerError::Reason reason, int code,
                                              const char* operation, std::string_view path) {
    return std::unexpected(PipeServerError{reason, os_error(code, operation, path)});
}

std::unexpected<PipeServerError> server_failed(const char* operation, std::string_view path) {
    return server_error(PipeServerError::failed, errno, operation, path);
}

// Binds the socket, replacing a stale socket file but never a live server's.
std::expected<void, PipeServerError> bind_socket(PosixServer& server) {
    sockaddr_un address{};
    if (!fill_address(server.path, address))
        return server_error(PipeServerError::failed, EINVAL, "bind", server.path);
    const int fd = server.listener.get();
    if (bind_with_mode(fd, address) == 0)
        return {};
    if (errno != EADDRINUSE)
        return server_failed("bind", server.path);
    if (someone_listens(address))
        return server_error(PipeServerError::name_in_use, EADDRINUSE, "bind", server.path);
    struct stat info {};
    const char* name = server.socket_name.c_str();
    if (::fstatat(server.folder.get(), name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return server_failed("fstatat", server.path);
    if (!S_ISSOCK(info.st_mode))
        return server_error(PipeServerError::failed, EEXIST, "bind", server.path);
    if (::unlinkat(server.folder.get(), name, 0) != 0)
        return server_failed("unlinkat", server.path);
    if (bind_with_mode(fd, address) != 0)
        return server_failed("bind", server.path);
    return {};
}

std::optional<std::vector<gid_t>> groups_from_socket(int fd) {
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            return groups;
        }
        if (errno != ERANGE)
            break;
        groups.resize(size / sizeof(gid_t) + 1);
    }
    return std::nullopt;
}

std::vector<gid_t> groups_from_accounts(uid_t uid, gid_t primary) {
    std::array<char, 4096> text{};
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, text.data(), text.size(), &found) != 0 || found == nullptr)
        return {};
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(found->pw_name, primary, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(found->pw_name, primary, groups.data(), &count) < 0)
            return {};
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

// An entry past this size is taken as a failure, not as a reason to grow for ever.
constexpr std::size_t kMaxGroupEntryBytes = std::size_t{1} << 22;

// A lookup that cannot be made (the account database unreachable, an entry too large) leaves
// the caller a reader; the administrator learns why once per change of the error.
std::optional<gid_t> admitted_group_id(PosixServer& server) {
    const auto found = find_group_id(server.admitted_group);
    const int error = found ? 0 : found.error();
    if (error != 0 && error != server.group_lookup_error) {
        write_failure(*server.log, LogPriority::warning, std::nullopt,
                      "looking up the admitted group failed; its members are served as readers",
                      os_error(error, "getgrnam_r", server.admitted_group));
    }
    server.group_lookup_error = error;
    return found ? *found : std::nullopt;
}

// Root, or a member of the admitted group as the peer's credentials show it: the groups the
// connecting process had, or, where the system does not tell, the account database's.
bool may_change_state(int fd, const ucred& peer, PosixServer& server) {
    if (peer.uid == 0)
        return true;
    // Looked up for each connection, so a group made while the service runs counts at once.
    const auto group = admitted_group_id(server);
    if (!group)
        return false;
    if (peer.gid == *group)
        return true;
    auto groups = groups_from_socket(fd);
    if (!groups)
        groups = groups_from_accounts(peer.uid, peer.gid);
    return std::find(groups->begin(), groups->end(), *group) != groups->end();
}

// What went wrong with a socket that poll reports in error; EIO where it will not say.
int socket_error(int fd) {
    int error = 0;
    socklen_t size = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error == 0)
        return EIO;
    return error;
}

// What a connection has sent so far, taken without waiting: a received or a closed event,
// or none when nothing has come yet.
void read_available(ConnectedSocket& connection, std::span<std::uint8_t> buffer,
                    std::vector<PipeEvent>& events) {
    const ssize_t got = ::recv(connection.fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got > 0) {
        events.push_back({PipeEvent::Kind::received,
                          connection.object,
                          nullptr,
                          {},
                          {buffer.begin(), buffer.begin() + got}});
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        connection.reading = false;
        events.push_back({PipeEvent::Kind::closed, connection.object, nullptr, {}, {}});
    }
}

// A deadline of `Clock::time_point::max()` waits without a limit.
int poll_milliseconds(Clock::time_point wake, Clock::time_point now) {
    if (wake == Clock::time_point::max())
        return -1;
    const auto left = wake - now;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 0x7FFFFFFF));
}

}  // namespace

std::expected<std::optional<gid_t>, int> find_group_id(const std::string& name,
                                                       GroupLookup lookup) {
    std::vector<char> text(4096);
    for (;;) {
        group entry{};
        group* found = nullptr;
        const int error = lookup(name.c_str(), &entry, text.data(), text.size(), &found);
        if (error == ERANGE && text.size() < kMaxGroupEntryBytes) {
            text.resize(text.size() * 2);
            continue;
        }
        // Some systems say "no such group" with an error of their own.
        if (error == ENOENT || error == ESRCH || (error == 0 && found == nullptr))
            return std::nullopt;
        if (error != 0)
            return std::unexpected(error);
        return found->gr_gid;
    }
}

std::expected<std::unique_ptr<PipeServer>, PipeServerError> PosixPipes::create_server(
    std::string_view name) {
    auto server = std::make_unique<PosixServer>();
    server->path = std::string(name);
    const auto directory = parent_directory(server->path);
    server->socket_name = std::string(file_name(name));
    if (!is_absolute_path(name) || name.find('\0') != std::string_view::npos || !directory ||
        server->socket_name.empty()) {
        return server_error(PipeServerError::failed, EINVAL, "create_server", name);
    }
    auto folder = open_socket_folder(*directory);
    if (!folder)
        return server_error(PipeServerError::failed, folder.error(), "open_socket_folder",
                            *directory);
    server->folder = std::move(*folder);
    constexpr std::string_view kLockSuffix = ".lock";
    const std::string lock_name = server->socket_name + std::string(kLockSuffix);
    const std::string lock_path = server->path + std::string(kLockSuffix);
    server->lock.reset(::openat(server->folder.get(), lock_name.c_str(),
                                O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!server->lock)
        return server_failed("openat", lock_path);
    // The lock makes the first-instance rule hold even when two servers start at once.
    if (::flock(server->lock.get(), LOCK_EX | LOCK_NB) != 0) {
        return server_error(
            errno == EWOULDBLOCK ? PipeServerError::name_in_use : PipeServerError::failed, errno,
            "flock", lock_path);
    }
    server->listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!server->listener)
        return server_failed("socket", name);
    if (auto bound = bind_socket(*server); !bound)
        return std::unexpected(std::move(bound.error()));
    struct stat info {};
    if (::fstatat(server->folder.get(), server->socket_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) !=
        0) {
        return server_failed("fstatat", name);
    }
    server->socket_file =
        BoundSocket(info.st_ino, BoundSocketPolicy{server->folder.get(), server->socket_name});
    if (::listen(server->listener.get(), kListenBacklog) != 0)
        return server_failed("listen", name);
    server->uids = read_login_uid_range();
    server->admitted_group = admitted_group_;
    server->log = &log_;
    return server;
}

PosixServer::~PosixServer() {
    // The connections still open end with their server.
    for (const auto& watched : connections_) {
        if (const auto socket = watched.lock())
            socket->fd.reset();
    }
}

std::vector<std::shared_ptr<ConnectedSocket>> PosixServer::open_connections() {
    std::erase_if(connections_, [](const auto& watched) { return watched.expired(); });
    std::vector<std::shared_ptr<ConnectedSocket>> found;
    for (const auto& watched : connections_) {
        auto socket = watched.lock();
        if (socket && socket->reading && socket->fd)
            found.push_back(std::move(socket));
    }
    return found;
}

void PosixServer::accept_client(std::span<std::uint8_t> buffer, std::vector<PipeEvent>& events) {
    OwnedFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == ENOBUFS)
            accept_paused_until_ = Clock::now() + kAcceptBackoff;
        return;
    }
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        !peer_may_connect(peer.uid, uids)) {
        return;  // a system account is dropped without a word
    }
    PipeCaller caller{"uid " + std::to_string(peer.uid),
                      may_change_state(client.get(), peer, *this), peer.uid == 0};
    auto connection = std::make_unique<PosixConnection>(std::move(client), path, false,
                                                        ServerCheck::unverifiable);
    const auto socket = connection->watch().lock();
    connections_.push_back(connection->watch());
    PipeEvent event{
        PipeEvent::Kind::connected, connection.get(), std::move(connection), std::move(caller), {}};
    events.push_back(std::move(event));
    // A client sends its request right after connecting, so it is usually there already and
    // the connection's own wait is not needed.
    read_available(*socket, buffer, events);
}

OsResult<std::vector<PipeEvent>> PosixServer::wait_for_events(std::chrono::milliseconds limit) {
    const bool unlimited = limit == kNoTimeLimit;
    const auto deadline = unlimited ? Clock::time_point::max() : Clock::now() + limit;
    const auto connections = open_connections();
    std::vector<PipeEvent> events;
    // Left uninitialised: only the bytes a read returns are ever looked at.
    std::array<std::uint8_t, kReadChunk> buffer;
    // With no connection to read and no time limit, the wait is accept itself, which saves a
    // poll per connection and sleeps until a client (or the wake-up of a stop) comes.
    if (connections.empty() && Clock::now() >= accept_paused_until_ && unlimited) {
        accept_client(buffer, events);
        return events;
    }
    for (;;) {
        const auto now = Clock::now();
        const bool accepting = now >= accept_paused_until_;
        std::vector<pollfd> watched;
        watched.push_back({accepting ? listener.get() : -1, POLLIN, 0});
        for (const auto& connection : connections)
            watched.push_back({connection->reading ? connection->fd.get() : -1, POLLIN, 0});
        auto wake = deadline;
        if (!accepting)
            wake = std::min(wake, accept_paused_until_);
        const int ready = ::poll(watched.data(), watched.size(), poll_milliseconds(wake, now));
        if (ready < 0 && errno != EINTR)
            return std::unexpected(os_error(errno, "poll", path));
        if (watched[0].revents & (POLLERR | POLLNVAL))
            return std::unexpected(os_error(socket_error(listener.get()), "poll", path));
        // One connection is taken per wait: the listener stays ready while more are
        // queued, and finding that out here would cost a failed accept every time.
        if (watched[0].revents & POLLIN)
            accept_client(buffer, events);
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (watched[i + 1].revents != 0)
                read_available(*connections[i], buffer, events);
        }
        if (!events.empty() || Clock::now() >= deadline)
            return events;
    }
}

}  // namespace velnaro::platform
