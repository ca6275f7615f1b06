#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ipc/pipe_server.hpp"
#include "protocol/messages.hpp"
#include "service_process.hpp"

namespace velnaro {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kVersionRequest = R"({"command":"GET_VERSION"})";
const std::string kVersionAnswer = R"({"type":"VERSION","payload":{"service_version":"0.1.0"}})";

std::string error_answer(std::string_view code) {
    return R"({"type":"ERROR","payload":{"code":")" + std::string(code) + "\"}}";
}

std::string header(std::uint32_t size) {
    return {static_cast<char>(size), static_cast<char>(size >> 8), static_cast<char>(size >> 16),
            static_cast<char>(size >> 24)};
}

std::string frame(std::string_view body) {
    return header(static_cast<std::uint32_t>(body.size())) + std::string(body);
}

std::string garbage(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(random());
    return bytes;
}

// What a client saw: every byte the service sent before it closed the connection.
struct Reply {
    std::string bytes;
    bool closed = false;
    Clock::duration waited{};
};

// A client socket driven byte by byte. Connecting blocks while the service's backlog is
// full, as a patient client would.
class Connection {
  public:
    explicit Connection(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        const timeval patience{60, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof(patience));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        opened_at_ = Clock::now();
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { ::close(fd_); }

    bool connected() const { return connected_; }

    // False once the service has gone away; a service that answers early (a bad header)
    // and hangs up is entitled to refuse the rest.
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }
    void finish_sending() { ::shutdown(fd_, SHUT_WR); }

    // Reads until the service closes the connection or `limit` passes after connecting.
    Reply read_until_closed(std::chrono::milliseconds limit) {
        Reply reply;
        const auto deadline = opened_at_ + limit;
        char buffer[8192];
        while (Clock::now() < deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
                continue;
            const ssize_t got = ::recv(fd_, buffer, sizeof(buffer), 0);
            // A reset comes when the service hung up with request bytes still unread.
            if (got <= 0) {
                reply.closed = got == 0 || errno == ECONNRESET;
                break;
            }
            reply.bytes.append(buffer, static_cast<std::size_t>(got));
        }
        reply.waited = Clock::now() - opened_at_;
        return reply;
    }

  private:
    int fd_;
    bool connected_ = false;
    Clock::time_point opened_at_;
};

// One complete exchange; the reply once the service has closed the connection.
Reply exchange_once(const std::string& path, std::string_view request, bool half_close = false) {
    Connection connection(path);
    if (!connection.connected())
        return {};
    connection.send(request);
    if (half_close)
        connection.finish_sending();
    return connection.read_until_closed(30s);
}

// Sends `bytes` one at a time, `pause` apart, until told to stop or the service hangs up.
class Trickle {
  public:
    Trickle(Connection& connection, std::string bytes, std::chrono::milliseconds pause)
        : thread_([this, &connection, bytes = std::move(bytes), pause] {
              for (char byte : bytes) {
                  if (!connection.send(std::string_view(&byte, 1)))
                      return;
                  std::unique_lock lock(mutex_);
                  if (changed_.wait_for(lock, pause, [this] { return done_; }))
                      return;
              }
          }) {}
    ~Trickle() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::thread thread_;
};

class HostileClientsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto started = testing::ServiceProcess::start(testing::built_executable("vpn-service"));
        if (!started)
            GTEST_SKIP() << "cannot run the service in a namespace of its own: " << started.error();
        service_.emplace(std::move(*started));
    }
    void TearDown() override {
        if (!service_)
            return;
        EXPECT_TRUE(service_->running()) << "the service ended on its own";
        EXPECT_EQ(service_->stop(), 0) << "the service stops cleanly on SIGTERM";
    }

    const std::string& path() const { return service_->socket_path(); }

    void expect_still_serving() {
        const Reply reply = exchange_once(path(), frame(kVersionRequest));
        EXPECT_EQ(reply.bytes, frame(kVersionAnswer)) << "the service still answers";
        EXPECT_TRUE(service_->running());
    }

    std::optional<testing::ServiceProcess> service_;
};

TEST_F(HostileClientsTest, MalformedFramesAreAnsweredWithTheirErrorAndServingGoesOn) {
    const std::string size_invalid = error_answer("IPC_MESSAGE_SIZE_INVALID");
    const std::string request_invalid = error_answer("IPC_REQUEST_INVALID");
    const std::string read_failed = error_answer("IPC_READ_FAILED");
    std::string largest_version = kVersionRequest;
    largest_version.resize(MAX_IPC_MESSAGE_BYTES, ' ');
    const std::string deep_payload = R"({"command":"GET_VERSION","payload":)" +
                                     std::string(30000, '[') + std::string(30000, ']') + "}";
    std::string unframed_garbage = "\xde\xad\xbe\xef" + garbage(65532, 7);

    struct Case {
        const char* name;
        std::string request;
        std::string answer;
        bool half_close = false;
    };
    const std::vector<Case> cases = {
        {"header of 0", header(0), size_invalid},
        {"header of 65537", header(65537), size_invalid},
        {"header of 0xFFFFFFFF", header(0xFFFFFFFFu), size_invalid},
        {"100000 nested arrays behind their header", header(100000) + std::string(100000, '['),
         size_invalid},
        {"a frame of 65536 opening brackets", frame(std::string(MAX_IPC_MESSAGE_BYTES, '[')),
         request_invalid},
        {"a payload nested 30000 deep", frame(deep_payload), request_invalid},
        {"a byte that is never UTF-8", frame("{\"command\":\"GET_VERSION\xff\"}"), request_invalid},
        {"an overlong encoding of N", frame("{\"command\":\"GET_VERSIO\xc1\x8e\"}"),
         request_invalid},
        {"an encoded surrogate", frame("{\"command\":\"GET_VERSION\xed\xa0\x80\"}"),
         request_invalid},
        {"a truncated sequence", frame("\xc3\x28"), request_invalid},
        {"a frame of 64 KiB of garbage", frame(garbage(MAX_IPC_MESSAGE_BYTES, 3)), request_invalid},
        {"64 KiB of garbage without a frame", unframed_garbage, size_invalid},
        {"the largest body, still a request", frame(largest_version), kVersionAnswer},
        {"a header cut short", header(25).substr(0, 2), read_failed, true},
        {"a body cut short", header(100) + "{\"command\"", read_failed, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Reply reply = exchange_once(path(), c.request, c.half_close);
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, frame(c.answer));
        expect_still_serving();
    }
}

TEST_F(HostileClientsTest, StalledClientsAreDroppedUnansweredWithinTheExchangeLimit) {
    struct Case {
        const char* name;
        std::string sent;
        std::chrono::milliseconds pause;
    };
    const std::string version = frame(kVersionRequest);
    const std::vector<Case> cases = {
        {"sends nothing", "", 0ms},
        {"sends half a header", header(25).substr(0, 2), 0ms},
        {"sends the header and half the body", version.substr(0, 16), 0ms},
        {"sends one byte every two seconds", version, 2000ms},
    };
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(kExchangeTimeLimit);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Connection stalled(path());
        ASSERT_TRUE(stalled.connected());
        Reply reply;
        {
            Trickle sender(stalled, c.sent, c.pause);
            reply = stalled.read_until_closed(limit + 3s);
        }
        EXPECT_TRUE(reply.closed) << "still connected after "
                                  << std::chrono::duration<double>(reply.waited).count() << " s";
        EXPECT_EQ(reply.bytes, "") << "a stalled client gets no answer";
        EXPECT_LT(reply.waited, limit + 2s);
        expect_still_serving();
    }
}

// A mix of requests whose answers never change while the service idles.
struct Exchange {
    std::string request;
    std::string answer;
};

std::vector<Exchange> request_mix(const std::string& status_answer) {
    return {
        {frame(kVersionRequest), frame(kVersionAnswer)},
        {frame(R"({"command":"GET_STATUS"})"), status_answer},
        {frame(R"({"payload":null,"command":"GET_VERSION"})"), frame(kVersionAnswer)},
        {frame(R"({"command":"GET_STATUS","payload":{}})"),
         frame(error_answer("IPC_REQUEST_INVALID"))},
        {frame("{\"command\":"), frame(error_answer("IPC_REQUEST_INVALID"))},
        {header(70000), frame(error_answer("IPC_MESSAGE_SIZE_INVALID"))},
        {frame(std::string(4000, '{')), frame(error_answer("IPC_REQUEST_INVALID"))},
    };
}

TEST_F(HostileClientsTest, FiftyClientsAndSomeStallersLeaveNoMemoryOrDescriptorsBehind) {
    constexpr int kClients = 50;
    constexpr int kRequestsPerClient = 200;
    const Reply status = exchange_once(path(), frame(R"({"command":"GET_STATUS"})"));
    ASSERT_NE(status.bytes.find(R"("type":"STATUS")"), std::string::npos) << status.bytes;
    const std::vector<Exchange> mix = request_mix(status.bytes);

    // Whatever the first requests allocate for good is part of the starting point.
    for (int i = 0; i < 300; ++i) {
        const auto& e = mix[static_cast<std::size_t>(i) % mix.size()];
        ASSERT_EQ(exchange_once(path(), e.request).bytes, e.answer);
    }
    std::this_thread::sleep_for(200ms);
    const auto resident_before = service_->resident_kib();
    const auto descriptors_before = service_->open_descriptors();
    ASSERT_TRUE(resident_before && descriptors_before);

    std::atomic<int> answered = 0;
    std::atomic<int> wrong = 0;
    std::mutex first_wrong_mutex;
    std::string first_wrong;
    std::vector<std::thread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
            for (int i = 0; i < kRequestsPerClient; ++i) {
                const auto& e = mix[static_cast<std::size_t>(client + i) % mix.size()];
                const Reply reply = exchange_once(path(), e.request);
                if (reply.bytes == e.answer) {
                    ++answered;
                    continue;
                }
                ++wrong;
                std::lock_guard lock(first_wrong_mutex);
                if (first_wrong.empty())
                    first_wrong = e.request.substr(4, 60) + " -> " + reply.bytes.substr(0, 80);
            }
        });
    }
    // Stallers join the crowd: each holds the only instance until the limit drops it.
    std::vector<std::thread> stallers;
    for (int staller = 0; staller < 2; ++staller) {
        stallers.emplace_back([&, staller] {
            Connection stalled(path());
            Trickle sender(stalled, frame(kVersionRequest), staller == 0 ? 60000ms : 1000ms);
            const Reply reply = stalled.read_until_closed(60s);
            EXPECT_EQ(reply.bytes, "");
        });
    }
    for (auto& thread : clients)
        thread.join();
    for (auto& thread : stallers)
        thread.join();

    EXPECT_EQ(answered.load(), kClients * kRequestsPerClient) << first_wrong;
    EXPECT_EQ(wrong.load(), 0);
    ASSERT_TRUE(service_->running());

    std::this_thread::sleep_for(200ms);
    const auto resident_after = service_->resident_kib();
    const auto descriptors_after = service_->open_descriptors();
    ASSERT_TRUE(resident_after && descriptors_after);
    RecordProperty("resident_kib_before", static_cast<int>(*resident_before));
    RecordProperty("resident_kib_after", static_cast<int>(*resident_after));
    RecordProperty("descriptors", static_cast<int>(*descriptors_after));
    EXPECT_LE(*descriptors_after, *descriptors_before + *descriptors_before / 20)
        << "descriptors before " << *descriptors_before;
#if defined(__SANITIZE_ADDRESS__)
    std::cout << "resident memory not compared: the sanitizer keeps freed memory in quarantine\n";
#else
    EXPECT_LE(*resident_after, *resident_before + *resident_before / 20)
        << "resident KiB before " << *resident_before;
#endif
}

}  // namespace
}  // namespace velnaro
