#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <string_view>

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

// The pipe as a Unix stream socket. The socket file is 0666 in a 0755 directory so that
// every local account can reach it; who is served is decided by the peer's credentials.
// A client trusts a server only when both the socket file (looked at before connecting)
// and the peer's credentials (after connecting) belong to root.
// A lock file beside the socket makes the first-instance rule hold even when two servers
// start at once, so a stale socket can be replaced without taking over a live one.
class PosixPipes final : public Pipes {
  public:
    PosixPipes();
    ~PosixPipes() override;

    std::optional<PipeHandle> create_server(std::string_view name) override;
    PipeWait wait_for_client(PipeHandle server, std::chrono::milliseconds limit) override;
    void flush(PipeHandle server, std::chrono::milliseconds limit) override;
    bool disconnect(PipeHandle server) override;
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
    PipeHandle keep(std::shared_ptr<Endpoint> endpoint);

    std::mutex mutex_;
    std::map<std::uintptr_t, std::shared_ptr<Endpoint>> endpoints_;
    std::uintptr_t next_handle_ = 1;
};

}  // namespace velnaro::platform
