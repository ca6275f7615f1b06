// The least a server with the service's framing can do: one connection at a time, read a
// 4-byte little-endian length and that many bytes, send the same frame back, hang up.
// Usage: bench_echo_server SOCKET_PATH
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool read_exact(int fd, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

void serve(int client, std::vector<std::uint8_t>& frame) {
    std::uint8_t header[4];
    if (!read_exact(client, header, sizeof(header)))
        return;
    const std::uint32_t size =
        header[0] | header[1] << 8 | header[2] << 16 | static_cast<std::uint32_t>(header[3]) << 24;
    if (size == 0 || size > 65536)
        return;
    frame.resize(4 + size);
    std::memcpy(frame.data(), header, sizeof(header));
    if (read_exact(client, frame.data() + 4, size))
        write_all(client, frame.data(), frame.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_echo_server SOCKET_PATH\n");
        return 2;
    }
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, argv[1], sizeof(address.sun_path) - 1);
    ::unlink(argv[1]);
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener, 16) != 0) {
        std::perror("bench_echo_server");
        return 1;
    }
    std::vector<std::uint8_t> frame;
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        serve(client, frame);
        ::close(client);
    }
}
