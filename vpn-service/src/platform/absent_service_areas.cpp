#include "platform/platform.hpp"

// The areas a client of the service leaves out: it neither seals, nor loads the components,
// nor controls services. Each refuses every call, so a client linked without them cannot
// reach them by mistake.
namespace velnaro::platform {

namespace {

std::unexpected<OsError> refused(const char* operation, std::string_view subject = {}) {
    return std::unexpected(OsError{0, operation, std::string(subject)});
}

class AbsentSealing final : public Sealing {
  public:
    OsResult<std::vector<std::uint8_t>> protect(std::span<const std::uint8_t>,
                                                std::u16string_view) override {
        return refused("protect");
    }
    OsResult<OpenedBlob> unprotect(std::span<const std::uint8_t>) override {
        return refused("unprotect");
    }
};

class AbsentLoader final : public Loader {
  public:
    OsResult<ModuleHandle> load_library(std::string_view path) override {
        return refused("load_library", path);
    }
    void* find_export(ModuleHandle, const char*) override { return nullptr; }
};

class AbsentServiceControl final : public ServiceControl {
  public:
    OsResult<OwnedScHandle> open_manager(std::uint32_t) override { return refused("open_manager"); }
    std::expected<OwnedScHandle, OpenServiceError> open_service(ScHandle, std::string_view name,
                                                                std::uint32_t) override {
        return std::unexpected(
            OpenServiceError{OpenServiceFailure::failed, refused("open_service", name).error()});
    }
    OsResult<OwnedScHandle> create_service(ScHandle, const ServiceRegistration& registration,
                                           std::uint32_t) override {
        return refused("create_service", registration.name);
    }
    OsResult<void> change_service_config(ScHandle,
                                         const ServiceRegistration& registration) override {
        return refused("change_service_config", registration.name);
    }
    OsResult<void> set_service_description(ScHandle, std::string_view) override {
        return refused("set_service_description");
    }
    OsResult<void> set_service_sid_type(ScHandle, std::uint32_t) override {
        return refused("set_service_sid_type");
    }
    OsResult<std::uint32_t> query_service_sid_type(ScHandle) override {
        return refused("query_service_sid_type");
    }
    OsResult<void> set_required_privileges(ScHandle, const std::vector<std::string>&) override {
        return refused("set_required_privileges");
    }
    OsResult<void> set_recovery(ScHandle, const ServiceRecovery&) override {
        return refused("set_recovery");
    }
    OsResult<ServiceStatus> query_service_status(ScHandle) override {
        return refused("query_service_status");
    }
    OsResult<void> start_service(ScHandle) override { return refused("start_service"); }
    OsResult<void> stop_service(ScHandle) override { return refused("stop_service"); }
    OsResult<void> delete_service(ScHandle) override { return refused("delete_service"); }
    // Nothing is ever opened, so nothing is closed.
    void close_service_handle(ScHandle) override {}
};

}  // namespace

Sealing& absent_sealing() {
    static AbsentSealing sealing;
    return sealing;
}

Loader& absent_loader() {
    static AbsentLoader loader;
    return loader;
}

ServiceControl& absent_service_control() {
    static AbsentServiceControl services;
    return services;
}

}  // namespace velnaro::platform
