#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "fake/faults.hpp"
#include "platform/service_control.hpp"

namespace velnaro::fake {

struct FakeService {
    platform::ServiceRegistration registration;
    std::string description;
    std::uint32_t sid_type = 0;
    std::vector<std::string> required_privileges;
    std::optional<platform::ServiceRecovery> recovery;
    std::uint32_t state = platform::service_state::kStopped;
    // How the service last ended (a test sets them to script a failure).
    std::uint32_t win32_exit_code = 0;
    std::uint32_t service_specific_exit_code = 0;
    bool marked_for_deletion = false;
    // Whether a marked record still opens (Windows, while handles to it are open), rather
    // than being refused with ERROR_SERVICE_MARKED_FOR_DELETE.
    bool opens_while_marked = false;
    int starts = 0;
    int stops = 0;
    // As the real tunnel service while it reads its configuration, resolves the endpoint and
    // creates its adapter: START_PENDING with no control accepted. Each refused stop counts
    // down; at zero the start completes (RUNNING) and controls are accepted again.
    int refusals_while_starting = 0;
    int refused_stops = 0;
};

// The service control manager in memory. By default a start makes the service RUNNING and
// a stop makes it STOPPED at once; on_start and on_stop let a test script other behaviour.
class FakeServices final : public platform::ServiceControl {
  public:
    explicit FakeServices(Faults& faults) : faults_(faults) {}

    platform::OsResult<platform::OwnedScHandle> open_manager(std::uint32_t access) override;
    std::expected<platform::OwnedScHandle, platform::OpenServiceError> open_service(
        platform::ScHandle manager, std::string_view name, std::uint32_t access) override;
    platform::OsResult<platform::OwnedScHandle> create_service(
        platform::ScHandle manager, const platform::ServiceRegistration& registration,
        std::uint32_t access) override;
    platform::OsResult<void> change_service_config(
        platform::ScHandle service, const platform::ServiceRegistration& registration) override;
    platform::OsResult<void> set_service_description(platform::ScHandle service,
                                                     std::string_view description) override;
    platform::OsResult<void> set_service_sid_type(platform::ScHandle service,
                                                  std::uint32_t sid_type) override;
    platform::OsResult<std::uint32_t> query_service_sid_type(platform::ScHandle service) override;
    platform::OsResult<void> set_required_privileges(
        platform::ScHandle service, const std::vector<std::string>& privileges) override;
    platform::OsResult<void> set_recovery(platform::ScHandle service,
                                          const platform::ServiceRecovery& recovery) override;
    platform::OsResult<std::uint32_t> query_service_state(platform::ScHandle service) override;
    platform::OsResult<platform::ServiceStatus> query_service_status(
        platform::ScHandle service) override;
    // Overlaps like systemd: `meanwhile` runs, then the state is read.
    platform::OsResult<platform::ServiceStatus> query_service_status_while(
        platform::ScHandle service, const std::function<void()>& meanwhile) override;
    platform::OsResult<void> start_service(platform::ScHandle service) override;
    platform::OsResult<void> stop_service(platform::ScHandle service) override;
    platform::OsResult<void> delete_service(platform::ScHandle service) override;
    platform::OsResult<bool> marked_for_deletion(platform::ScHandle service) override;
    void close_service_handle(platform::ScHandle handle) override;

    std::map<std::string, FakeService, std::less<>> services;
    // What a failure of open_service made by the fault switch reports.
    platform::OpenServiceFailure open_service_fault = platform::OpenServiceFailure::failed;
    std::function<void(FakeService&)> on_start;
    std::function<void(FakeService&)> on_stop;
    // Access rights asked for, in order, as "manager:<access>" or "<name>:<access>".
    std::vector<std::string> access_log;
    int open_handles() const { return static_cast<int>(handles_.size()); }
    // Handles in the order they were closed ("manager" or the service name).
    std::vector<std::string> closed;

  private:
    // The service the handle refers to, or the error of a call given anything else.
    platform::OsResult<FakeService*> service_of(platform::ScHandle handle,
                                                std::string_view operation);
    // A call on the service behind a handle: `apply` changes it, `extract` reads from it.
    template <class Apply>
    platform::OsResult<void> change(platform::ScHandle handle, std::string_view operation,
                                    Apply apply) {
        auto s = service_of(handle, operation);
        if (!s)
            return std::unexpected(s.error());
        apply(**s);
        return {};
    }
    template <class Extract>
    auto read(platform::ScHandle handle, std::string_view operation, Extract extract)
        -> platform::OsResult<decltype(extract(std::declval<const FakeService&>()))> {
        auto s = service_of(handle, operation);
        if (!s)
            return std::unexpected(s.error());
        return extract(**s);
    }

    Faults& faults_;
    std::map<std::uintptr_t, std::string> handles_;  // "" for a manager handle
    std::uintptr_t next_handle_ = 1;
};

}  // namespace velnaro::fake
