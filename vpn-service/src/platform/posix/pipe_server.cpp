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
#include <fstream>
#include <sstream>

#include "platform/paths.hpp"
#include "platform/posix/pipe_endpoint.hpp"
#include "platform/posix/socket_folder.hpp"

namespace velnaro::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kListenBacklog = 128;
constexpr mode_t kSocketMode = 0666;
// At most this many connections are taken per wait, so that reading the others goes on.
constexpr int kAcceptsPerWait = 64;
// How long accepting rests when the process has run out of descriptors or memory; the
// listener would otherwise stay readable and the loop spin.
constexpr std::chrono::milliseconds kAcceptBackoff{250};
constexpr std::size_t kReadChunk = 16384;

LoginUidRange read_login_uid_range() {
    std::ifstream file("/etc/login.defs");
    std::stringstream text;
    text << file.rdbuf();
    return parse_login_uid_range(text.str());
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

// Binds the socket, replacing a stale socket file but never a live server's.
std::expected<void, PipeServerError> bind_socket(PosixPipes::Endpoint& server) {
    sockaddr_un address{};
    if (!fill_address(server.path, address))
        return std::unexpected(PipeServerError::failed);
    const int fd = server.listener.get();
    if (bind_with_mode(fd, address) == 0)
        return {};
    if (errno != EADDRINUSE)
        return std::unexpected(PipeServerError::failed);
    if (someone_listens(address))
        return std::unexpected(PipeServerError::name_in_use);
    struct stat info {};
    const char* name = server.socket_name.c_str();
    if (::fstatat(server.folder.get(), name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISSOCK(info.st_mode) || ::unlinkat(server.folder.get(), name, 0) != 0) {
        return std::unexpected(PipeServerError::failed);
    }
    if (bind_with_mode(fd, address) != 0)
        return std::unexpected(PipeServerError::failed);
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

std::optional<gid_t> group_id(const std::string& name) {
    std::array<char, 4096> text{};
    group entry{};
    group* found = nullptr;
    if (::getgrnam_r(name.c_str(), &entry, text.data(), text.size(), &found) != 0 ||
        found == nullptr) {
        return std::nullopt;
    }
    return found->gr_gid;
}

// Root, or a member of the admitted group as the peer's credentials show it: the groups the
// connecting process had, or, where the system does not tell, the account database's.
bool may_change_state(int fd, const ucred& peer, const std::string& admitted_group) {
    if (peer.uid == 0)
        return true;
    // Looked up for each connection, so a group made while the service runs counts at once.
    const auto group = group_id(admitted_group);
    if (!group)
        return false;
    if (peer.gid == *group)
        return true;
    auto groups = groups_from_socket(fd);
    if (!groups)
        groups = groups_from_accounts(peer.uid, peer.gid);
    return std::find(groups->begin(), groups->end(), *group) != groups->end();
}

int poll_milliseconds(Clock::duration left) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, 0x7FFFFFFF));
}

}  // namespace

std::expected<PipeHandle, PipeServerError> PosixPipes::create_server(std::string_view name) {
    auto endpoint = std::make_shared<Endpoint>();
    endpoint->kind = Endpoint::Kind::server;
    endpoint->path = std::string(name);
    const auto directory = parent_directory(endpoint->path);
    endpoint->socket_name = std::string(file_name(name));
    if (!is_absolute_path(name) || name.find('\0') != std::string_view::npos || !directory ||
        endpoint->socket_name.empty()) {
        return std::unexpected(PipeServerError::failed);
    }
    auto folder = open_socket_folder(*directory);
    if (!folder)
        return std::unexpected(PipeServerError::failed);
    endpoint->folder = std::move(*folder);
    const std::string lock_name = endpoint->socket_name + ".lock";
    endpoint->lock.reset(::openat(endpoint->folder.get(), lock_name.c_str(),
                                  O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!endpoint->lock)
        return std::unexpected(PipeServerError::failed);
    // The lock makes the first-instance rule hold even when two servers start at once.
    if (::flock(endpoint->lock.get(), LOCK_EX | LOCK_NB) != 0) {
        return std::unexpected(errno == EWOULDBLOCK ? PipeServerError::name_in_use
                                                    : PipeServerError::failed);
    }
    endpoint->listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!endpoint->listener)
        return std::unexpected(PipeServerError::failed);
    if (auto bound = bind_socket(*endpoint); !bound)
        return std::unexpected(bound.error());
    struct stat info {};
    if (::fstatat(endpoint->folder.get(), endpoint->socket_name.c_str(), &info,
                  AT_SYMLINK_NOFOLLOW) != 0) {
        return std::unexpected(PipeServerError::failed);
    }
    endpoint->socket_inode = info.st_ino;
    if (::listen(endpoint->listener.get(), kListenBacklog) != 0)
        return std::unexpected(PipeServerError::failed);
    endpoint->uids = read_login_uid_range();
    endpoint->admitted_group = admitted_group_;
    return keep(std::move(endpoint));
}

std::vector<std::pair<std::uintptr_t, std::shared_ptr<PosixPipes::Endpoint>>>
PosixPipes::connections_of(std::uintptr_t server) {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::uintptr_t, std::shared_ptr<Endpoint>>> found;
    for (const auto& [handle, endpoint] : endpoints_) {
        if (endpoint->kind == Endpoint::Kind::served && endpoint->server == server &&
            endpoint->reading) {
            found.emplace_back(handle, endpoint);
        }
    }
    return found;
}

void PosixPipes::accept_clients(std::uintptr_t server, Endpoint& listener,
                                std::vector<PipeEvent>& events) {
    for (int taken = 0; taken < kAcceptsPerWait; ++taken) {
        OwnedFd client(
            ::accept4(listener.listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!client) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOMEM || errno == ENOBUFS)
                listener.accept_paused_until = Clock::now() + kAcceptBackoff;
            if (errno == ECONNABORTED || errno == EINTR || errno == EPROTO)
                continue;
            return;
        }
        ucred peer{};
        socklen_t size = sizeof(peer);
        if (::getsockopt(client.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            !peer_may_connect(peer.uid, listener.uids)) {
            continue;  // a system account is dropped without a word
        }
        PipeCaller caller{peer.uid == 0 ? "" : "uid " + std::to_string(peer.uid),
                          may_change_state(client.get(), peer, listener.admitted_group)};
        auto endpoint = std::make_shared<Endpoint>();
        endpoint->kind = Endpoint::Kind::served;
        endpoint->path = listener.path;
        endpoint->server = server;
        endpoint->connection = std::move(client);
        events.push_back({PipeEvent::Kind::connected, keep(std::move(endpoint)), caller, {}});
    }
}

std::optional<std::vector<PipeEvent>> PosixPipes::wait_for_events(PipeHandle server,
                                                                  std::chrono::milliseconds limit) {
    const auto listener = find(server);
    if (!listener || listener->kind != Endpoint::Kind::server)
        return std::nullopt;
    const auto deadline = Clock::now() + limit;
    const auto connections = connections_of(server.value);
    std::vector<PipeEvent> events;
    std::vector<std::uint8_t> buffer(kReadChunk);
    for (;;) {
        const auto now = Clock::now();
        const bool accepting = now >= listener->accept_paused_until;
        std::vector<pollfd> watched;
        watched.push_back({accepting ? listener->listener.get() : -1, POLLIN, 0});
        for (const auto& [handle, connection] : connections)
            watched.push_back({connection->reading ? connection->connection.get() : -1, POLLIN, 0});
        auto wake = deadline;
        if (!accepting)
            wake = std::min(wake, listener->accept_paused_until);
        const int ready = ::poll(watched.data(), watched.size(), poll_milliseconds(wake - now));
        if (ready < 0 && errno != EINTR)
            return std::nullopt;
        if (watched[0].revents & (POLLERR | POLLNVAL))
            return std::nullopt;
        if (watched[0].revents & POLLIN)
            accept_clients(server.value, *listener, events);
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (watched[i + 1].revents == 0)
                continue;
            Endpoint& connection = *connections[i].second;
            const PipeHandle handle{connections[i].first};
            const ssize_t got =
                ::recv(connection.connection.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got > 0) {
                events.push_back({PipeEvent::Kind::received,
                                  handle,
                                  {},
                                  {buffer.begin(), buffer.begin() + got}});
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                connection.reading = false;
                events.push_back({PipeEvent::Kind::closed, handle, {}, {}});
            }
        }
        if (!events.empty() || Clock::now() >= deadline)
            return events;
    }
}

// Data written to a Unix socket stays readable by the peer after this end is closed, so
// there is nothing to wait for.
void PosixPipes::flush(PipeHandle, std::chrono::milliseconds) {}

}  // namespace velnaro::platform
