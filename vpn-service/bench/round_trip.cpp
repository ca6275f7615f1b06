// One GET_VERSION per connection (connect, request, response, close) against the running
// service and against bench_echo_server on the same kind of socket, interleaved in rounds so
// both see the same machine; plus the service's CPU time per request, the cost of refusing
// an oversized header, its resident memory and the stripped size of the executable.
// Both servers run on one CPU and the client on the other, so neither waits for the other's
// time slice and the comparison does not depend on where the scheduler puts them.
// Usage (root): bench_round_trip [REQUESTS_PER_KIND]
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame_client.hpp"
#include "service_process.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velnaro::bench::frame;
using velnaro::testing::ServiceProcess;

constexpr int kRounds = 20;
constexpr int kServerCpu = 0;
constexpr int kClientCpu = 1;

struct Series {
    Series(const char* name_, std::string path_, std::string request_, pid_t server_)
        : name(name_), path(std::move(path_)), request(std::move(request_)), server(server_) {}

    const char* name;
    std::string path;
    std::string request;
    pid_t server = -1;
    std::vector<double> microseconds;
    std::uint64_t cpu_ns = 0;
    std::size_t failures = 0;
};

void run_batch(Series& series, int count) {
    const auto cpu_before = velnaro::testing::cpu_nanoseconds_of(series.server).value_or(0);
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const auto got = velnaro::bench::exchange(series.path, series.request);
        const auto took = std::chrono::duration<double, std::micro>(Clock::now() - start);
        if (!got || got->empty())
            ++series.failures;
        series.microseconds.push_back(took.count());
    }
    series.cpu_ns += velnaro::testing::cpu_nanoseconds_of(series.server).value_or(0) - cpu_before;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

pid_t start_echo_server(const std::string& executable, const std::string& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(executable.c_str(), executable.c_str(), path.c_str(), nullptr);
        ::_exit(127);
    }
    for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i)
        std::this_thread::sleep_for(10ms);
    return child;
}

std::optional<std::uintmax_t> stripped_size(const std::string& executable) {
    const std::string copy = "/tmp/velnaro-stripped-" + std::to_string(::getpid());
    const std::string command = "strip -o '" + copy + "' '" + executable + "'";
    if (std::system(command.c_str()) != 0)
        return std::nullopt;
    std::error_code error;
    const auto size = std::filesystem::file_size(copy, error);
    std::filesystem::remove(copy, error);
    if (error)
        return std::nullopt;
    return size;
}

void print_series(const Series& series, std::size_t per_kind) {
    std::printf("| %-28s | %8.1f | %8.1f | %8.2f | %zu |\n", series.name,
                percentile(series.microseconds, 0.50), percentile(series.microseconds, 0.99),
                static_cast<double>(series.cpu_ns) / 1000.0 / static_cast<double>(per_kind),
                series.failures);
}

// Pins the calling thread; processes and threads started afterwards inherit the CPU.
bool pin_to_cpu(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof(set), &set) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int per_kind = argc > 1 ? std::max(kRounds, std::atoi(argv[1])) : 10000;
    const std::string service_executable = velnaro::testing::built_executable("vpn-service");
    const bool pinned = pin_to_cpu(kServerCpu);
    auto service = ServiceProcess::start(service_executable);
    if (!service) {
        std::fprintf(stderr, "cannot start the service: %s\n", service.error().c_str());
        return 1;
    }
    const std::string echo_path =
        std::filesystem::path(service->socket_path()).parent_path().string() + "/echo.sock";
    const pid_t echo =
        start_echo_server(velnaro::testing::built_executable("bench_echo_server"), echo_path);

    const bool client_pinned = pinned && pin_to_cpu(kClientCpu);
    std::this_thread::sleep_for(500ms);
    const auto resident_idle = service->resident_kib().value_or(0);

    const std::string version = frame(R"({"command":"GET_VERSION"})");
    std::vector<Series> series = {
        {"service GET_VERSION", service->socket_path(), version, service->pid()},
        {"echo server, same frame", echo_path, version, echo},
        {"service, header of 65537", service->socket_path(), std::string("\x01\x00\x01\x00", 4),
         service->pid()},
    };
    for (auto& s : series)
        run_batch(s, 200);  // warm-up, not counted
    const auto resident_warm = service->resident_kib().value_or(0);
    for (auto& s : series) {
        s.microseconds.clear();
        s.cpu_ns = 0;
        s.failures = 0;
    }
    for (int round = 0; round < kRounds; ++round) {
        for (auto& s : series)
            run_batch(s, per_kind / kRounds);
    }
    std::this_thread::sleep_for(200ms);
    const auto resident_after = service->resident_kib().value_or(0);

    const auto measured = static_cast<std::size_t>(per_kind / kRounds * kRounds);
    std::printf("requests per kind: %zu, in %d interleaved rounds; %s\n\n", measured, kRounds,
                client_pinned ? "servers on CPU 0, client on CPU 1" : "not pinned");
    std::printf("| %-28s | p50 (us) | p99 (us) | server CPU/request (us) | failures |\n", "kind");
    std::printf("|---|---|---|---|---|\n");
    for (const auto& s : series)
        print_series(s, measured);
    const auto& svc = series[0];
    const auto& base = series[1];
    const auto& reject = series[2];
    std::printf(
        "\nratios: p50 %.2fx, p99 %.2fx, CPU %.2fx of the echo server; "
        "refusing a header of 65537 costs %.2fx a GET_VERSION (p50)\n",
        percentile(svc.microseconds, 0.5) / percentile(base.microseconds, 0.5),
        percentile(svc.microseconds, 0.99) / percentile(base.microseconds, 0.99),
        static_cast<double>(svc.cpu_ns) /
            static_cast<double>(std::max<std::uint64_t>(1, base.cpu_ns)),
        percentile(reject.microseconds, 0.5) / percentile(svc.microseconds, 0.5));
    std::printf(
        "service resident memory: %llu KiB idle after start, %llu KiB after warm-up, "
        "%llu KiB after %zu more requests (%+.1f%% from warm-up)\n",
        static_cast<unsigned long long>(resident_idle),
        static_cast<unsigned long long>(resident_warm),
        static_cast<unsigned long long>(resident_after), 2 * measured,
        100.0 * (static_cast<double>(resident_after) - static_cast<double>(resident_warm)) /
            static_cast<double>(std::max<std::uint64_t>(1, resident_warm)));
    std::printf(
        "echo server resident memory: %llu KiB\n",
        static_cast<unsigned long long>(velnaro::testing::resident_kib_of(echo).value_or(0)));
    if (const auto size = stripped_size(service_executable))
        std::printf("stripped vpn-service: %ju bytes (%.2f MiB)\n", *size,
                    static_cast<double>(*size) / 1048576.0);

    ::kill(echo, SIGTERM);
    ::waitpid(echo, nullptr, 0);
    const auto stopped = service->stop();
    return stopped == 0 ? 0 : 1;
}
