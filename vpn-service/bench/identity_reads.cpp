// Reads against identity rotations: READERS clients each send GET_VERSION and
// GET_PUBLIC_IDENTITY in turn, one request every millisecond, first for SECONDS at rest, then
// for SECONDS while one more client rotates the identity in a loop (PREPARE, then COMMIT).
// Prints the percentiles of the reads in both phases and the ratio of their p99s; a rotation
// that writes and flushes must not hold the reads up.
// Usage: bench_identity_reads SOCKET [SECONDS per phase, default 20] [READERS, default 1]
// Run it as root where the service runs (vpn-service/bench/bench_identity_reads.sh).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame_client.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velnaro::bench::frame;

constexpr auto kReadInterval = 1ms;
// The service drops a silent client after 5 s, so a live service always answers sooner.
constexpr std::chrono::seconds kPatience{30};

// The answer's "type", or "(none)" when no complete frame came back.
std::string answer_type(const std::optional<std::string>& answer) {
    const auto body = answer ? velnaro::bench::body_of(*answer) : std::nullopt;
    if (!body)
        return "(none)";
    const std::string_view key = R"("type":")";
    const auto start = body->find(key);
    if (start == std::string_view::npos)
        return "?";
    const auto from = start + key.size();
    return std::string(body->substr(from, body->find('"', from) - from));
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// One client's requests of one phase: each command's latencies, and the answers that were
// not of the expected type.
struct Sample {
    std::map<std::string, std::vector<double>> microseconds;
    std::map<std::string, std::size_t> unexpected;

    // Sends one request and keeps its time under `name`.
    std::string timed(const std::string& socket, const std::string& name,
                      const std::string& request, const std::string& expected) {
        const auto start = Clock::now();
        const auto answer = velnaro::bench::exchange(socket, request, kPatience);
        microseconds[name].push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        std::string type = answer_type(answer);
        if (type != expected)
            ++unexpected[name + " -> " + type];
        return type;
    }
    void merge(const Sample& other) {
        for (const auto& [name, values] : other.microseconds) {
            auto& mine = microseconds[name];
            mine.insert(mine.end(), values.begin(), values.end());
        }
        for (const auto& [what, count] : other.unexpected)
            unexpected[what] += count;
    }
    std::vector<double> reads() const {
        std::vector<double> all;
        for (const char* name : {"GET_VERSION", "GET_PUBLIC_IDENTITY"}) {
            if (auto it = microseconds.find(name); it != microseconds.end())
                all.insert(all.end(), it->second.begin(), it->second.end());
        }
        return all;
    }
};

void print_line(const std::string& name, const std::vector<double>& values) {
    std::printf("  %-28s requests %7zu  p50 %8.1f us  p99 %8.1f us  max %9.1f us\n",
                name.c_str(), values.size(), percentile(values, 0.5), percentile(values, 0.99),
                values.empty() ? 0.0 : *std::max_element(values.begin(), values.end()));
}

void print_phase(const char* title, const Sample& sample) {
    std::printf("%s\n", title);
    for (const auto& [name, values] : sample.microseconds)
        print_line(name, values);
    print_line("reads (both)", sample.reads());
    for (const auto& [what, count] : sample.unexpected)
        std::printf("  unexpected answer: %-32s %zu\n", what.c_str(), count);
}

void read_until(const std::string& socket, Clock::time_point until, Sample& sample) {
    const std::string version = frame(R"({"command":"GET_VERSION"})");
    const std::string identity = frame(R"({"command":"GET_PUBLIC_IDENTITY"})");
    bool identity_next = false;
    for (auto next = Clock::now(); next < until; next += kReadInterval) {
        std::this_thread::sleep_until(next);
        if (identity_next)
            sample.timed(socket, "GET_PUBLIC_IDENTITY", identity, "PUBLIC_IDENTITY");
        else
            sample.timed(socket, "GET_VERSION", version, "VERSION");
        identity_next = !identity_next;
        // A request that took longer than the interval does not make the next ones crowd in.
        next = std::max(next, Clock::now() - kReadInterval);
    }
}

void rotate_until(const std::string& socket, Clock::time_point until, Sample& sample,
                  std::size_t& rotations) {
    const std::string prepare = frame(R"({"command":"PREPARE_IDENTITY_ROTATION"})");
    const std::string commit = frame(R"({"command":"COMMIT_IDENTITY_ROTATION"})");
    while (Clock::now() < until) {
        sample.timed(socket, "PREPARE_IDENTITY_ROTATION", prepare, "PUBLIC_IDENTITY");
        if (sample.timed(socket, "COMMIT_IDENTITY_ROTATION", commit, "ACCEPTED") == "ACCEPTED")
            ++rotations;
    }
}

// READERS readers for `seconds`, and a rotating client alongside when `rotating`.
Sample run_phase(const std::string& socket, int seconds, int readers, bool rotating,
                 std::size_t& rotations) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    std::vector<Sample> samples(static_cast<std::size_t>(readers) + 1);
    std::vector<std::thread> clients;
    for (int i = 0; i < readers; ++i)
        clients.emplace_back(read_until, std::cref(socket), until,
                             std::ref(samples[static_cast<std::size_t>(i)]));
    if (rotating)
        clients.emplace_back(rotate_until, std::cref(socket), until, std::ref(samples.back()),
                             std::ref(rotations));
    for (auto& client : clients)
        client.join();
    Sample all;
    for (const auto& sample : samples)
        all.merge(sample);
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_identity_reads SOCKET [SECONDS] [READERS]\n");
        return 2;
    }
    const std::string socket = argv[1];
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    const int readers = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;

    std::size_t rotations = 0;
    const Sample rest = run_phase(socket, seconds, readers, false, rotations);
    const Sample rotated = run_phase(socket, seconds, readers, true, rotations);

    std::printf("%d reader(s), one request a millisecond each, %d s per phase\n\n", readers,
                seconds);
    print_phase("at rest", rest);
    print_phase("during rotations", rotated);
    std::printf("  rotations committed: %zu\n", rotations);
    const double rest_p99 = percentile(rest.reads(), 0.99);
    std::printf("\nratio: reads' p99 during rotations / at rest = %.2fx\n",
                percentile(rotated.reads(), 0.99) / std::max(rest_p99, 1e-9));
    return rest.unexpected.empty() && rotated.unexpected.empty() && rotations > 0 ? 0 : 1;
}
