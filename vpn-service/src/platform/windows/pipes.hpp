#pragma once

#include "platform/pipes.hpp"

namespace velnaro::platform {

// Named pipes opened for overlapped I/O, so that every wait can end at a time limit. A server
// keeps one instance waiting for the next client and a read pending on every connection, and
// waits on all of them at once.
class Win32Pipes final : public Pipes {
  public:
    std::expected<std::unique_ptr<PipeServer>, PipeServerError> create_server(
        std::string_view name) override;
    bool pipe_exists(std::string_view name) override;
    std::expected<std::unique_ptr<PipeConnection>, PipeOpenError> open_client(
        std::string_view name, std::chrono::milliseconds wait, ClientIdentity identity) override;
};

}  // namespace velnaro::platform
