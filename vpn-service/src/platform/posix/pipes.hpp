#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/pipes.hpp"

namespace velnaro::platform {

// Accounts that may talk to the service: root and the regular login accounts.
struct LoginUidRange {
    uid_t first = 1000;
    uid_t last = 60000;
};

// UID_MIN and UID_MAX from the text of /etc/login.defs; what is missing keeps its default.
LoginUidRange parse_login_uid_range(std::string_view login_defs);
bool peer_may_connect(uid_t uid, const LoginUidRange& range);

// Members of this group, and root, may change the tunnel; other login accounts only read.
inline constexpr std::string_view kAdmittedGroup = "velnaro";

// The pipe as a Unix stream socket. The socket file is 0666 in a 0755 directory so that
// every local account can reach it; who is served is decided by the peer's credentials.
// The socket folder and every level above it must belong to root (or the server's own
// account) and be closed to others' writes, so nobody else can move the socket or its lock.
// One poll loop accepts and reads every connection.
// A client trusts a server only when both the socket file (looked at before connecting)
// and the peer's credentials (after connecting) belong to root.
// A lock file beside the socket makes the first-instance rule hold even when two servers
// start at once, so a stale socket can be replaced without taking over a live one.
class PosixPipes final : public Pipes {
  public:
    // `admitted_group` names the group whose members may change state; tests pass another.
    explicit PosixPipes(std::string admitted_group = std::string(kAdmittedGroup));
    ~PosixPipes() override;

    std::expected<PipeHandle, PipeServerError> create_server(std::string_view name) override;
    std::optional<std::vector<PipeEvent>> wait_for_events(PipeHandle server,
                                                          std::chrono::milliseconds limit) override;
    void flush(PipeHandle connection, std::chrono::milliseconds limit) override;
    PipeIo read(PipeHandle pipe, std::span<std::uint8_t> buffer,
                std::chrono::milliseconds limit) override;
    PipeIo write(PipeHandle pipe, std::span<const std::uint8_t> data,
                 std::chrono::milliseconds limit) override;
    void close(PipeHandle pipe) override;
    bool pipe_exists(std::string_view name) override;
    std::expected<PipeHandle, PipeOpenError> open_client(std::string_view name,
                                                         std::chrono::milliseconds wait,
                                                         ClientIdentity identity) override;
    ServerCheck verify_server(PipeHandle client) override;

    struct Endpoint;

  private:
    std::shared_ptr<Endpoint> find(PipeHandle handle);
    std::vector<std::pair<std::uintptr_t, std::shared_ptr<Endpoint>>> connections_of(
        std::uintptr_t server);
    void accept_client(std::uintptr_t server, Endpoint& listener, std::span<std::uint8_t> buffer,
                       std::vector<PipeEvent>& events);
    PipeHandle keep(std::shared_ptr<Endpoint> endpoint);

    std::mutex mutex_;
    std::map<std::uintptr_t, std::shared_ptr<Endpoint>> endpoints_;
    std::uintptr_t next_handle_ = 1;
    std::string admitted_group_;
};

}  // namespace velnaro::platform
