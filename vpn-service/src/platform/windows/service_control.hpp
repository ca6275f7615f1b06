#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "platform/service_control.hpp"

namespace velnaro::platform {

// The service control manager (advapi32).
class Win32ServiceControl final : public ServiceControl {
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
    OsResult<ServiceStatus> query_service_status(ScHandle service) override;
    OsResult<void> start_service(ScHandle service) override;
    OsResult<void> stop_service(ScHandle service) override;
    bool await_requested_change(ScHandle service, std::chrono::milliseconds limit) override;
    OsResult<void> delete_service(ScHandle service) override;
    OsResult<bool> marked_for_deletion(ScHandle service) override;
    void close_service_handle(ScHandle handle) override;

  private:
    void note_request(ScHandle service, std::uint32_t notify_mask);

    // What a start or stop through each handle waits for (SERVICE_NOTIFY_* bits), until a
    // wait takes it. Status reads and changes come on different threads.
    std::mutex mutex_;
    std::map<std::uintptr_t, std::uint32_t> requested_;
};

}  // namespace velnaro::platform
