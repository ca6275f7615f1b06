#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/service_control.hpp"

namespace velnaro::platform {

// The local service manager: a stand-in for the service control manager where systemd is
// not the init system. Registrations live in <program data>/Velnaro/services (0700, root),
// one file per service; the state of a started service lives beside its registration (see
// local_services_db.hpp). Handles are numbers into a table of this object; a handle holds
// the access it was opened with, and every operation checks it, as the real manager does.
class LocalServiceManager final : public ServiceControl {
  public:
    std::optional<ScHandle> open_manager(std::uint32_t access) override;
    std::optional<ScHandle> open_service(ScHandle manager, std::string_view name,
                                         std::uint32_t access) override;
    std::optional<ScHandle> create_service(ScHandle manager,
                                           const ServiceRegistration& registration,
                                           std::uint32_t access) override;
    bool change_service_config(ScHandle service, const ServiceRegistration& registration) override;
    bool set_service_description(ScHandle service, std::string_view description) override;
    bool set_service_sid_type(ScHandle service, std::uint32_t sid_type) override;
    std::optional<std::uint32_t> query_service_sid_type(ScHandle service) override;
    bool set_required_privileges(ScHandle service,
                                 const std::vector<std::string>& privileges) override;
    bool set_recovery(ScHandle service, const ServiceRecovery& recovery) override;
    std::optional<std::uint32_t> query_service_state(ScHandle service) override;
    bool start_service(ScHandle service) override;
    bool stop_service(ScHandle service) override;
    bool delete_service(ScHandle service) override;
    void close_service_handle(ScHandle handle) override;

  private:
    struct Entry {
        bool is_manager = false;
        std::string root;      // <program data>
        std::string database;  // <program data>/Velnaro/services
        std::string key;       // file-name form of the service name (services only)
        std::uint32_t access = 0;
    };

    ScHandle add_entry(Entry entry);
    std::optional<Entry> entry_of(ScHandle handle, bool want_manager, std::uint32_t needed);

    std::mutex mutex_;
    std::map<std::uintptr_t, Entry> entries_;
    std::uintptr_t next_handle_ = 1;
};

}  // namespace velnaro::platform
