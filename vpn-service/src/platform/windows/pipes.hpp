#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "platform/pipes.hpp"

namespace velnaro::platform {

// Named pipes opened for overlapped I/O, so that every wait can end at a time limit. A server
// keeps one instance waiting for the next client and a read pending on every connection, and
// waits on all of them at once.
class Win32Pipes final : public Pipes {
  public:
    Win32Pipes();
    ~Win32Pipes() override;

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
    PipeHandle keep(std::shared_ptr<Endpoint> endpoint);
    void accept_client(std::uintptr_t server, Endpoint& listener, std::vector<PipeEvent>& events);

    std::mutex mutex_;
    std::map<std::uintptr_t, std::shared_ptr<Endpoint>> endpoints_;
    std::uintptr_t next_handle_ = 1;
};

}  // namespace velnaro::platform
