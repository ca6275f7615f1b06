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

// The socket to the interface's daemon, closed when it goes out of scope.
using Socket = platform::OwnedFd;

// A connected socket, or an empty one.
Socket connect_to(std::string_view interface_name) {
    const std::string path = uapi_socket_path(interface_name);
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return {};
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket) {
        return {};
    }
    const timeval timeout{kTimeoutSeconds, 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    return socket;
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

}  // namespace

std::string uapi_socket_path(std::string_view interface_name) {
    return "/var/run/wireguard/" + std::string(interface_name) + ".sock";
}

std::optional<SecretBuffer> uapi_exchange(std::string_view interface_name,
                                          std::span<const std::uint8_t> request) {
    const Socket socket = connect_to(interface_name);
    if (!socket) {
        return std::nullopt;
    }
    if (!send_all(socket.get(), request)) {
        return std::nullopt;
    }
    SecretBuffer answer;
    SecretArray<4096> chunk;
    while (!ends_answer(answer)) {
        const ssize_t received = ::recv(socket.get(), chunk.data(), chunk.size(), 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received < 0) {
            return std::nullopt;  // timed out or broken
        }
        if (received == 0) {
            break;
        }
        if (answer.size() + static_cast<std::size_t>(received) > kMaxAnswer) {
            return std::nullopt;
        }
        answer.insert(answer.end(), chunk.data(), chunk.data() + received);
    }
    return answer;
}

bool uapi_socket_answers(std::string_view interface_name) {
    return static_cast<bool>(connect_to(interface_name));
}

}  // namespace velnaro::wglinux
