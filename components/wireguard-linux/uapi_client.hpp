#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/secret_buffer.hpp"
#include "platform/posix/owned_fd.hpp"

namespace velnaro::wglinux {

// Where the user-space daemon listens for an interface; the name must already have passed
// is_valid_interface_name, so it cannot leave the directory.
std::string uapi_socket_path(std::string_view interface_name);

// One request and its whole answer over a fresh connection. The answer is read until the
// closing empty line or the end of the stream, bounded in size and in time, so a daemon
// that hangs or floods cannot hold the caller. The answer may hold keys: secret buffer.
std::optional<SecretBuffer> uapi_exchange(std::string_view interface_name,
                                          std::span<const std::uint8_t> request);

// Whether something accepts connections on the interface's UAPI socket.
bool uapi_socket_answers(std::string_view interface_name);

// A connection to the interface's daemon kept for further requests: the daemon serves any
// number of them on one connection, which spares it accepting a new one each time. Each
// request gets its answer afresh. A request on a kept connection that the daemon closed since
// (it ended, or was restarted) is sent once more on a new one. Not for concurrent use.
class UapiConnection {
  public:
    explicit UapiConnection(std::string interface_name) : name_(std::move(interface_name)) {}
    std::optional<SecretBuffer> exchange(std::span<const std::uint8_t> request);

  private:
    std::string name_;
    platform::OwnedFd fd_;
};

}  // namespace velnaro::wglinux
