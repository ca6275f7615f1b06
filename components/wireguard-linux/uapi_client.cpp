#include "uapi_client.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/owned_fd.hpp"

namespace velnaro::wglinux {
namespace {

constexpr std::size_t kMaxAnswer = 1 << 20;
constexpr int kTimeoutSeconds = 5;

platform::OwnedFd connect_to(std::string_view interface_name) {
    const std::string path = uapi_socket_path(interface_name);
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return {};
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    platform::OwnedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return {};
    }
    const timeval timeout{kTimeoutSeconds, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return fd;
}

bool send_all(int fd, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data = data.subspan(static_cast<std::size_t>(sent));
    }
    return true;
}

bool ends_answer(const SecretBuffer& answer) {
    const std::string_view text = as_text(answer);
    return text.ends_with("\n\n");
}

// One request and its answer on an open connection. `answered` tells whether any of the answer
// came back, so a caller knows whether the daemon saw the request at all.
std::optional<SecretBuffer> exchange_on(int fd, std::span<const std::uint8_t> request,
                                        bool& answered) {
    answered = false;
    if (!send_all(fd, request)) {
        return std::nullopt;
    }
    SecretBuffer answer;
    SecretArray<4096> chunk;
    while (!ends_answer(answer)) {
        const ssize_t received = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received < 0) {
            return std::nullopt;  // timed out or broken
        }
        if (received == 0) {
            break;
        }
        answered = true;
        if (answer.size() + static_cast<std::size_t>(received) > kMaxAnswer) {
            return std::nullopt;
        }
        answer.insert(answer.end(), chunk.data(), chunk.data() + received);
    }
    return answer;
}

}  // namespace

std::string uapi_socket_path(std::string_view interface_name) {
    return "/var/run/wireguard/" + std::string(interface_name) + ".sock";
}

std::optional<SecretBuffer> uapi_exchange(std::string_view interface_name,
                                          std::span<const std::uint8_t> request) {
    const platform::OwnedFd fd = connect_to(interface_name);
    bool answered = false;
    return fd ? exchange_on(fd.get(), request, answered) : std::nullopt;
}

bool uapi_socket_answers(std::string_view interface_name) {
    return static_cast<bool>(connect_to(interface_name));
}

std::optional<SecretBuffer> UapiConnection::exchange(std::span<const std::uint8_t> request) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const bool reused = static_cast<bool>(fd_);
        if (!reused) {
            fd_ = connect_to(name_);
            if (!fd_) {
                return std::nullopt;
            }
        }
        bool answered = false;
        auto answer = exchange_on(fd_.get(), request, answered);
        // A complete answer keeps the connection for the next request.
        if (answer && ends_answer(*answer)) {
            return answer;
        }
        fd_.reset();
        // A kept connection the daemon has closed since (it ended or restarted) gets the
        // request once more on a new one; anything else is the daemon's answer.
        if (!reused || answered) {
            return answer;
        }
    }
    return std::nullopt;
}

}  // namespace velnaro::wglinux
