#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/posix/systemd/systemd_bus.hpp"
#include "platform/service_control.hpp"

namespace velnaro::platform {

// The service control manager on Linux is systemd. A registration is a unit file in
// /etc/systemd/system (unit_file.hpp names and writes it); control goes through systemd's
// D-Bus API over one bus connection, kept for the life of the process and shared by every handle.
// Every handle keeps the access it was opened with and each operation checks it, as the
// Windows manager does. Changing anything needs root.
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
    OsResult<ServiceStatus> query_service_status(ScHandle service) override;
    OsResult<ServiceStatus> query_service_status_while(
        ScHandle service, const std::function<void()>& meanwhile) override;
    OsResult<void> start_service(ScHandle service) override;
    OsResult<void> stop_service(ScHandle service) override;
    bool await_requested_change(ScHandle service, std::chrono::milliseconds limit) override;
    OsResult<void> delete_service(ScHandle service) override;
    void close_service_handle(ScHandle handle) override;

  private:
    // StartUnit or StopUnit ("replace") for a handle holding `right`.
    OsResult<void> unit_job(ScHandle service, std::uint32_t right, const char* operation,
                            bool (SystemdBus::*job)(std::string_view), const char* call);
    struct Entry {
        std::shared_ptr<SystemdBus> bus;
        bool is_manager = false;
        std::uint32_t access = 0;
        std::string unit;  // services only
        // The registration last written through this handle, so that a description set
        // afterwards rewrites the same unit.
        std::optional<ServiceRegistration> registration;
        std::string job;  // the job the last start or stop queued, until it is seen to end
    };

    ScHandle add_entry(Entry entry);
    OsResult<std::shared_ptr<SystemdBus>> kept_bus();
    Entry* entry_of(ScHandle handle, bool want_manager, std::uint32_t needed);
    OsResult<void> write_ranges_unit(SystemdBus& bus, const ServiceRegistration& registration);
    OsResult<void> write_unit(Entry& service, const ServiceRegistration& registration,
                              std::string_view description);

    std::shared_ptr<SystemdBus> bus_;
    // Held for each whole call, around every use of the kept bus and the entries: sd-bus is not
    // thread-safe, and a status read on the pipe server's thread may come while a change runs
    // on its worker. Never held across a wait: a wait for a job holds it only to read what
    // the connection received, and waits on the connection's descriptor without it.
    std::mutex mutex_;
    std::map<std::uintptr_t, Entry> entries_;
    std::uintptr_t next_handle_ = 1;
};

}  // namespace velnaro::platform
