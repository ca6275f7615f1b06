// GET_STATUS under load: first its latency on an otherwise idle service (one poll at a time),
// then while POLLERS clients each poll it ten times a second and one more client applies the
// configuration, stops and starts the tunnel in a loop. Prints the percentiles of both, the
// ratio of the loaded p99 to the idle p50, and every request that went unanswered.
// Usage: bench_status_load SOCKET CONFIG_JSON_FILE [SECONDS, default 30] [POLLERS, default 50]
//        [CHANGERS, default 1: 0 leaves the tunnel alone, to see what the polls alone cost]
// Run it where the service is connected (vpn-service/bench/bench_status_load.sh does that).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame_client.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using velnaro::bench::frame;

constexpr auto kPollInterval = 100ms;
constexpr int kIdlePolls = 300;
// A client waits this long for its answer before it counts the request as unanswered; the
// service drops a silent client after 5 s, so a live service always answers sooner.
constexpr std::chrono::seconds kPatience{30};

// The answer's "type", or nothing when no complete frame came back.
std::optional<std::string> answer_type(const std::optional<std::string>& answer) {
    if (!answer)
        return std::nullopt;
    const auto body = velnaro::bench::body_of(*answer);
    if (!body)
        return std::nullopt;
    const std::string_view key = R"("type":")";
    const auto start = body->find(key);
    if (start == std::string_view::npos)
        return std::string("?");
    const auto from = start + key.size();
    return std::string(body->substr(from, body->find('"', from) - from));
}

struct Timed {
    double microseconds = 0;
    bool answered = false;
};

Timed timed_exchange(const std::string& socket, const std::string& request,
                     std::string* type = nullptr) {
    const auto start = Clock::now();
    const auto answer = velnaro::bench::exchange(socket, request, kPatience);
    const auto took = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    const auto kind = answer_type(answer);
    if (type != nullptr)
        *type = kind.value_or("(none)");
    return {took, kind.has_value()};
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

struct Sample {
    std::vector<double> microseconds;
    std::size_t unanswered = 0;

    void add(const Timed& timed) {
        if (timed.answered)
            microseconds.push_back(timed.microseconds);
        else
            ++unanswered;
    }
    void print(const char* name) const {
        std::printf(
            "%-32s requests %6zu  p50 %8.1f us  p99 %8.1f us  max %8.1f us  unanswered %zu\n", name,
            microseconds.size() + unanswered, percentile(microseconds, 0.5),
            percentile(microseconds, 0.99),
            microseconds.empty() ? 0.0
                                 : *std::max_element(microseconds.begin(), microseconds.end()),
            unanswered);
    }
};

// Polls every kPollInterval from its own phase until `until`, like a desktop client would.
void poll_status(const std::string& socket, Clock::time_point until, Clock::duration phase,
                 Sample& sample) {
    const std::string request = frame(R"({"command":"GET_STATUS"})");
    for (auto next = Clock::now() + phase; next < until; next += kPollInterval) {
        std::this_thread::sleep_until(next);
        sample.add(timed_exchange(socket, request));
    }
}

// APPLY_CONFIG, STOP, START, over and over until `until`; counts each answer's type.
void churn(const std::string& socket, const std::string& config, Clock::time_point until,
           Sample& sample, std::map<std::string, std::size_t>& answers) {
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"APPLY_CONFIG", frame(R"({"command":"APPLY_CONFIG","payload":)" + config + "}")},
        {"STOP", frame(R"({"command":"STOP"})")},
        {"START", frame(R"({"command":"START"})")},
    };
    while (Clock::now() < until) {
        for (const auto& [name, request] : steps) {
            std::string type;
            sample.add(timed_exchange(socket, request, &type));
            ++answers[name + " -> " + type];
        }
    }
}

std::optional<std::string> read_file(const char* path) {
    std::ifstream file(path);
    if (!file)
        return std::nullopt;
    std::stringstream text;
    text << file.rdbuf();
    std::string config = text.str();
    while (!config.empty() && (config.back() == '\n' || config.back() == ' '))
        config.pop_back();
    return config;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: bench_status_load SOCKET CONFIG_JSON_FILE [SECONDS] [POLLERS] [CHANGERS]\n");
        return 2;
    }
    const std::string socket = argv[1];
    const auto config = read_file(argv[2]);
    const int seconds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 30;
    const int pollers = argc > 4 ? std::max(1, std::atoi(argv[4])) : 50;
    const bool changing = argc > 5 ? std::atoi(argv[5]) != 0 : true;
    if (!config) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 2;
    }

    Sample idle;
    const std::string status = frame(R"({"command":"GET_STATUS"})");
    for (int i = 0; i < kIdlePolls; ++i) {
        idle.add(timed_exchange(socket, status));
        std::this_thread::sleep_for(10ms);
    }

    const auto until = Clock::now() + std::chrono::seconds(seconds);
    std::vector<Sample> polled(static_cast<std::size_t>(pollers));
    Sample churned;
    std::map<std::string, std::size_t> answers;
    std::vector<std::thread> clients;
    for (int i = 0; i < pollers; ++i) {
        const auto phase = kPollInterval * i / pollers;
        clients.emplace_back(poll_status, std::cref(socket), until, phase,
                             std::ref(polled[static_cast<std::size_t>(i)]));
    }
    if (changing) {
        clients.emplace_back(churn, std::cref(socket), std::cref(*config), until, std::ref(churned),
                             std::ref(answers));
    }
    for (auto& client : clients)
        client.join();

    Sample loaded;
    for (const auto& sample : polled) {
        loaded.microseconds.insert(loaded.microseconds.end(), sample.microseconds.begin(),
                                   sample.microseconds.end());
        loaded.unanswered += sample.unanswered;
    }
    std::printf("%d pollers at 10 per second%s, %d s\n\n", pollers,
                changing ? " and one APPLY_CONFIG/STOP/START loop" : "", seconds);
    idle.print("GET_STATUS, idle");
    loaded.print("GET_STATUS, under load");
    churned.print("APPLY_CONFIG/STOP/START loop");
    for (const auto& [what, count] : answers)
        std::printf("  %-40s %zu\n", what.c_str(), count);
    const double idle_p50 = percentile(idle.microseconds, 0.5);
    std::printf("\nratio: GET_STATUS p99 under load / idle p50 = %.2fx; unanswered: %zu\n",
                percentile(loaded.microseconds, 0.99) / std::max(idle_p50, 1e-9),
                idle.unanswered + loaded.unanswered + churned.unanswered);
    return idle.unanswered + loaded.unanswered + churned.unanswered == 0 ? 0 : 1;
}
