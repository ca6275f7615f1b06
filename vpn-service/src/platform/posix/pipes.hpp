#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/pipes.hpp"
#include "platform/platform.hpp"

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
    // A failed lookup of that group is written to `log`.
    explicit PosixPipes(std::string admitted_group = std::string(kAdmittedGroup),
                        Log& log = silent_log());

    std::expected<std::unique_ptr<PipeServer>, PipeServerError> create_server(
        std::string_view name) override;
    bool pipe_exists(std::string_view name) override;
    std::expected<std::unique_ptr<PipeConnection>, PipeOpenError> open_client(
        std::string_view name, std::chrono::milliseconds wait, ClientIdentity identity) override;
    bool serves_own_account() override;

  private:
    std::string admitted_group_;
    Log& log_;
};

}  // namespace velnaro::platform
