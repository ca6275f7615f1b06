// GET_STATUS against GET_VERSION from the same client, interleaved one for one, against the
// running service (its socket at the fixed path): each request on a connection of its own, as
// a desktop client polls. Prints the median and the 99th percentile of both and their ratio.
// Usage: bench_status_poll [PAIRS, default 2000] [SOCKET]
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kDefaultSocket = "/run/velnaro/VelnaroVpnService.v1.sock";

bool read_exactly(int fd, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// One exchange on a fresh connection; the answer's body, or empty when there was none.
std::string exchange(const char* path, std::string_view body) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    std::string answer;
    std::uint32_t length = 0;
    std::string request(4, '\0');
    const auto size = static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i)
        request[i] = static_cast<char>(size >> (8 * i));
    request += body;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size()) &&
        read_exactly(fd, reinterpret_cast<char*>(&length), 4) && length < (1u << 20)) {
        answer.resize(length);  // the frame header is little-endian, as is this machine
        if (!read_exactly(fd, answer.data(), length))
            answer.clear();
    }
    ::close(fd);
    return answer;
}

struct Series {
    const char* name;
    std::string body;
    std::string_view expected;  // a piece every answer must hold
    std::vector<double> microseconds;
};

bool measure(const char* path, Series& series) {
    const auto start = Clock::now();
    const std::string answer = exchange(path, series.body);
    const auto end = Clock::now();
    if (answer.find(series.expected) == std::string::npos) {
        std::fprintf(stderr, "%s answered \"%s\"\n", series.name, answer.c_str());
        return false;
    }
    series.microseconds.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    return true;
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 2000;
    const char* path = argc > 2 ? argv[2] : kDefaultSocket;
    Series version{"GET_VERSION", R"({"command":"GET_VERSION"})", R"("type":"VERSION")", {}};
    Series status{"GET_STATUS", R"({"command":"GET_STATUS"})", R"("state":"CONNECTED")", {}};
    for (int i = 0; i < pairs / 10 + 1; ++i) {  // warm-up, not counted
        exchange(path, version.body);
        exchange(path, status.body);
    }
    for (int i = 0; i < pairs; ++i) {
        // Alternating which goes first keeps any effect of the order off both.
        Series& first = i % 2 == 0 ? version : status;
        Series& second = i % 2 == 0 ? status : version;
        if (!measure(path, first) || !measure(path, second))
            return 1;
    }
    std::printf("%d pairs, one connection per request\n", pairs);
    for (const Series* series : {&version, &status}) {
        std::printf("  %-12s p50 %8.1f us   p99 %8.1f us\n", series->name,
                    percentile(series->microseconds, 0.5), percentile(series->microseconds, 0.99));
    }
    std::printf("GET_STATUS / GET_VERSION: p50 %.2fx, p99 %.2fx\n",
                percentile(status.microseconds, 0.5) / percentile(version.microseconds, 0.5),
                percentile(status.microseconds, 0.99) / percentile(version.microseconds, 0.99));
    return 0;
}
