#include "platform/platform.hpp"

namespace velnaro::platform {

namespace {

class AbsentPipes final : public Pipes {
  public:
    std::expected<std::unique_ptr<PipeServer>, PipeServerError> create_server(
        std::string_view name) override {
        return std::unexpected(PipeServerError{PipeServerError::failed, absent(name)});
    }
    bool pipe_exists(std::string_view) override { return false; }
    std::expected<std::unique_ptr<PipeConnection>, PipeOpenError> open_client(
        std::string_view name, std::chrono::milliseconds, ClientIdentity) override {
        return std::unexpected(PipeOpenError{PipeOpenError::unavailable, absent(name)});
    }

  private:
    static OsError absent(std::string_view name) { return {0, "absent pipes", std::string(name)}; }
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

class NoRangeGuard final : public RangeGuard {
  public:
    OsResult<void> hold(const GuardedTunnel&) override { return {}; }
    OsResult<bool> restore() override { return false; }
    OsResult<void> release() override { return {}; }
    OsResult<std::vector<std::string>> held_ranges() override {
        return std::vector<std::string>{};
    }
    OsResult<std::vector<std::string>> blocked_ranges() override {
        return std::vector<std::string>{};
    }
    OsResult<bool> interface_up(std::string_view name) override {
        return std::unexpected(
            OsError{kErrorCallNotImplemented, "interface_up", std::string(name)});
    }
};

}  // namespace

RangeGuard& no_range_guard() {
    static NoRangeGuard guard;
    return guard;
}

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
