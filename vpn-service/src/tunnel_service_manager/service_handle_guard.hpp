#pragma once

#include <optional>
#include <utility>

#include "platform/service_control.hpp"

namespace velnaro {

// Owns one handle of the service control manager. Declare the manager's guard before the
// service's: destruction runs in reverse, so the service handle is closed first.
class ServiceHandleGuard {
  public:
    ServiceHandleGuard(platform::ServiceControl& services, std::optional<platform::ScHandle> handle)
        : services_(services), handle_(handle) {}
    ServiceHandleGuard(platform::ServiceControl& services,
                       std::expected<platform::ScHandle, platform::OpenServiceFailure> handle)
        : services_(services),
          handle_(handle ? std::optional<platform::ScHandle>(*handle) : std::nullopt) {}
    ServiceHandleGuard(const ServiceHandleGuard&) = delete;
    ServiceHandleGuard& operator=(const ServiceHandleGuard&) = delete;
    ~ServiceHandleGuard() {
        if (handle_)
            services_.close_service_handle(*handle_);
    }

    explicit operator bool() const { return handle_.has_value(); }
    platform::ScHandle get() const { return *handle_; }

  private:
    platform::ServiceControl& services_;
    std::optional<platform::ScHandle> handle_;
};

}  // namespace velnaro
