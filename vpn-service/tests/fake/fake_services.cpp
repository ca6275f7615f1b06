#include "fake/fake_services.hpp"

namespace velnaro::fake {

using platform::ScHandle;
namespace state = platform::service_state;

FakeService* FakeServices::service_of(ScHandle handle) {
    auto h = handles_.find(handle.value);
    if (h == handles_.end() || h->second.empty()) return nullptr;
    auto s = services.find(h->second);
    return s == services.end() ? nullptr : &s->second;
}

std::optional<ScHandle> FakeServices::open_manager(std::uint32_t access) {
    if (faults_.should_fail("open_manager")) return std::nullopt;
    access_log.push_back("manager:" + std::to_string(access));
    handles_[next_handle_] = "";
    return ScHandle{next_handle_++};
}

std::expected<ScHandle, platform::OpenServiceFailure> FakeServices::open_service(
    ScHandle manager, std::string_view name, std::uint32_t access) {
    using platform::OpenServiceFailure;
    if (faults_.should_fail("open_service"))
        return std::unexpected(open_service_fault);
    if (!handles_.count(manager.value))
        return std::unexpected(OpenServiceFailure::failed);
    auto s = services.find(name);
    if (s == services.end() || s->second.marked_for_deletion)
        return std::unexpected(OpenServiceFailure::missing);
    access_log.push_back(std::string(name) + ":" + std::to_string(access));
    handles_[next_handle_] = s->first;
    return ScHandle{next_handle_++};
}

std::optional<ScHandle> FakeServices::create_service(
    ScHandle manager, const platform::ServiceRegistration& registration, std::uint32_t access) {
    if (faults_.should_fail("create_service")) return std::nullopt;
    if (!handles_.count(manager.value) || services.count(registration.name)) return std::nullopt;
    access_log.push_back("create:" + registration.name + ":" + std::to_string(access));
    services[registration.name].registration = registration;
    handles_[next_handle_] = registration.name;
    return ScHandle{next_handle_++};
}

bool FakeServices::change_service_config(ScHandle service,
                                         const platform::ServiceRegistration& registration) {
    if (faults_.should_fail("change_service_config")) return false;
    FakeService* s = service_of(service);
    if (s == nullptr) return false;
    const std::string name = s->registration.name;
    s->registration = registration;
    s->registration.name = name;
    return true;
}

bool FakeServices::set_service_description(ScHandle service, std::string_view description) {
    if (faults_.should_fail("set_service_description")) return false;
    FakeService* s = service_of(service);
    if (s == nullptr) return false;
    s->description = std::string(description);
    return true;
}

bool FakeServices::set_service_sid_type(ScHandle service, std::uint32_t sid_type) {
    if (faults_.should_fail("set_service_sid_type")) return false;
    FakeService* s = service_of(service);
    if (s == nullptr) return false;
    s->sid_type = sid_type;
    return true;
}

bool FakeServices::set_required_privileges(ScHandle service,
                                           const std::vector<std::string>& privileges) {
    if (faults_.should_fail("set_required_privileges")) return false;
    FakeService* s = service_of(service);
    if (s == nullptr) return false;
    s->required_privileges = privileges;
    return true;
}

bool FakeServices::set_recovery(ScHandle service, const platform::ServiceRecovery& recovery) {
    if (faults_.should_fail("set_recovery")) return false;
    FakeService* s = service_of(service);
    if (s == nullptr) return false;
    s->recovery = recovery;
    return true;
}

std::optional<std::uint32_t> FakeServices::query_service_sid_type(ScHandle service) {
    if (faults_.should_fail("query_service_sid_type")) return std::nullopt;
    FakeService* s = service_of(service);
    if (s == nullptr) return std::nullopt;
    return s->sid_type;
}

std::optional<std::uint32_t> FakeServices::query_service_state(ScHandle service) {
    if (faults_.should_fail("query_service_state")) return std::nullopt;
    FakeService* s = service_of(service);
    if (s == nullptr) return std::nullopt;
    return s->state;
}

std::optional<platform::ServiceStatus> FakeServices::query_service_status(ScHandle service) {
    if (faults_.should_fail("query_service_status")) return std::nullopt;
    FakeService* s = service_of(service);
    if (s == nullptr) return std::nullopt;
    return platform::ServiceStatus{s->state, s->win32_exit_code, s->service_specific_exit_code};
}

bool FakeServices::start_service(ScHandle service) {
    if (faults_.should_fail("start_service")) return false;
    FakeService* s = service_of(service);
    if (s == nullptr || s->state != state::kStopped) return false;
    ++s->starts;
    s->state = state::kRunning;
    s->win32_exit_code = 0;  // a start forgets how the last run ended
    s->service_specific_exit_code = 0;
    if (on_start) on_start(*s);
    return true;
}

bool FakeServices::stop_service(ScHandle service) {
    if (faults_.should_fail("stop_service")) return false;
    FakeService* s = service_of(service);
    if (s == nullptr || s->state == state::kStopped) return false;
    if (s->state == state::kStartPending && s->refusals_while_starting > 0) {
        ++s->refused_stops;  // ERROR_SERVICE_CANNOT_ACCEPT_CTRL
        if (--s->refusals_while_starting == 0) s->state = state::kRunning;
        return false;
    }
    ++s->stops;
    s->state = state::kStopped;
    if (on_stop) on_stop(*s);
    return true;
}

bool FakeServices::delete_service(ScHandle service) {
    if (faults_.should_fail("delete_service")) return false;
    FakeService* s = service_of(service);
    if (s == nullptr) return false;
    s->marked_for_deletion = true;
    return true;
}

void FakeServices::close_service_handle(ScHandle handle) {
    faults_.should_fail("close_service_handle");
    auto h = handles_.find(handle.value);
    if (h == handles_.end()) return;
    const std::string name = h->second;
    closed.push_back(name.empty() ? "manager" : name);
    handles_.erase(h);
    // A service marked for deletion goes once it has stopped and no handle refers to it.
    if (!name.empty()) {
        auto s = services.find(name);
        bool referenced = false;
        for (auto& [_, n] : handles_) referenced = referenced || n == name;
        if (s != services.end() && s->second.marked_for_deletion && !referenced &&
            s->second.state == state::kStopped) {
            services.erase(s);
        }
    }
}

}  // namespace velnaro::fake
