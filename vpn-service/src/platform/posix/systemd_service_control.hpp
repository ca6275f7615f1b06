#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/posix/systemd_bus.hpp"
#include "platform/service_control.hpp"

namespace velnaro::platform {

// The service control manager on Linux is systemd. A registration is a unit file in
// /etc/systemd/system (unit_file.hpp names and writes it); control goes through systemd's
// D-Bus API. A manager handle holds one bus connection, shared by the service handles opened
// through it; every handle keeps the access it was opened with and each operation checks
// it, as the Windows manager does. Changing anything needs root.
class SystemdServiceControl final : public ServiceControl {
  public:
    OsResult<OwnedScHandle> open_manager(std::uint32_t access) override;
    std::expected<OwnedScHandle, OpenServiceError> open_service(ScHandle manager,
                                                                std::string_view name,
                                                                std::uint32_t access) override;
    OsResult<OwnedScHandle> create_service(ScHandle manager,
                                           const ServiceRegistration& registration,
                                           std::uint32_t access) override;
    OsResult<void> change_service_config(ScHandle service,
                                         const ServiceRegistration& registration) override;
    OsResult<void> set_service_description(ScHandle service, std::string_view description) override;
    OsResult<void> set_service_sid_type(ScHandle service, std::uint32_t sid_type) override;
    OsResult<std::uint32_t> query_service_sid_type(ScHandle service) override;
    OsResult<void> set_required_privileges(ScHandle service,
                                           const std::vector<std::string>& privileges) override;
    OsResult<void> set_recovery(ScHandle service, const ServiceRecovery& recovery) override;
    OsResult<std::uint32_t> query_service_state(ScHandle service) override;
    OsResult<ServiceStatus> query_service_status(ScHandle service) override;
    OsResult<void> start_service(ScHandle service) override;
    OsResult<void> stop_service(ScHandle service) override;
    OsResult<void> delete_service(ScHandle service) override;
    void close_service_handle(ScHandle handle) override;

  private:
    struct Entry {
        std::shared_ptr<SystemdBus> bus;
        bool is_manager = false;
        std::uint32_t access = 0;
        std::string unit;  // services only
        // The registration last written through this handle, so that a description set
        // afterwards rewrites the same unit.
        std::optional<ServiceRegistration> registration;
    };

    ScHandle add_entry(Entry entry);
    Entry* entry_of(ScHandle handle, bool want_manager, std::uint32_t needed);
    OsResult<void> write_unit(Entry& service, const ServiceRegistration& registration,
                              std::string_view description);

    std::mutex mutex_;
    std::map<std::uintptr_t, Entry> entries_;
    std::uintptr_t next_handle_ = 1;
};

}  // namespace velnaro::platform
