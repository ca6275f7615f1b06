#include "platform/platform.hpp"

namespace velnaro::platform {

namespace {

class AbsentPipes final : public Pipes {
  public:
    std::expected<PipeHandle, PipeServerError> create_server(std::string_view) override {
        return std::unexpected(PipeServerError::failed);
    }
    std::optional<std::vector<PipeEvent>> wait_for_events(PipeHandle,
                                                          std::chrono::milliseconds) override {
        return std::nullopt;
    }
    void flush(PipeHandle, std::chrono::milliseconds) override {}
    PipeIo read(PipeHandle, std::span<std::uint8_t>, std::chrono::milliseconds) override {
        return {};
    }
    PipeIo write(PipeHandle, std::span<const std::uint8_t>, std::chrono::milliseconds) override {
        return {};
    }
    void close(PipeHandle) override {}
    bool pipe_exists(std::string_view) override { return false; }
    std::expected<PipeHandle, PipeOpenError> open_client(std::string_view,
                                                         std::chrono::milliseconds,
                                                         ClientIdentity) override {
        return std::unexpected(PipeOpenError::unavailable);
    }
    ServerCheck verify_server(PipeHandle) override { return ServerCheck::unverifiable; }
};

class AbsentServiceHost final : public ServiceHost {
  public:
    OsResult<void> run_dispatcher(std::string_view name, ServiceMain) override {
        return refused("run_dispatcher", name);
    }
    OsResult<ServiceStatusHandle> register_control_handler(std::string_view name, ControlHandler,
                                                           void*) override {
        return refused("register_control_handler", name);
    }
    OsResult<void> set_service_status(ServiceStatusHandle, const ServiceStatusReport&) override {
        return refused("set_service_status", {});
    }
    void name_current_thread(std::string_view) override {}
    OsResult<void> report_stopped_before_start(std::string_view name,
                                               const ServiceStatusReport&) override {
        return refused("report_stopped_before_start", name);
    }

  private:
    static std::unexpected<OsError> refused(const char* operation, std::string_view name) {
        return std::unexpected(
            OsError{kErrorFailedServiceControllerConnect, operation, std::string(name)});
    }
    void explain_give_up(std::string_view) override {}
};

class SilentLog final : public Log {
  public:
    void write(LogPriority, std::optional<DetailCode>, std::string_view, int,
               std::string_view) override {}
};

}  // namespace

Log& silent_log() {
    static SilentLog log;
    return log;
}

Pipes& absent_pipes() {
    static AbsentPipes pipes;
    return pipes;
}

ServiceHost& absent_service_host() {
    static AbsentServiceHost host;
    return host;
}

}  // namespace velnaro::platform
