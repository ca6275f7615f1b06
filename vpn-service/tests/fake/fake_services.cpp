#include "fake/fake_services.hpp"

#include "fake/fake_error.hpp"

namespace velnaro::fake {

using platform::OsResult;
using platform::ScHandle;
namespace state = platform::service_state;

namespace {

// The codes the Windows manager gives for the same refusals, so that callers meet them here.
// Refusals of a handle or a name.
constexpr std::uint32_t kInvalidHandle = 6;
constexpr std::uint32_t kServiceDoesNotExist = 1060;
constexpr std::uint32_t kServiceExists = 1073;
constexpr std::uint32_t kMarkedForDelete = platform::kErrorServiceMarkedForDelete;
// Refusals of a control that the service's state does not allow.
constexpr std::uint32_t kServiceAlreadyRunning = 1056, kServiceCannotAcceptControl = 1061,
                        kServiceNotActive = 1062;

// Moves the service to its new state and lets the test's script react.
OsResult<void> settle(FakeService& service, std::uint32_t new_state, int& count,
                      const std::function<void(FakeService&)>& script) {
    ++count;
    service.state = new_state;
    if (script)
        script(service);
    return {};
}

}  // namespace

OsResult<FakeService*> FakeServices::service_of(ScHandle handle, std::string_view operation) {
    if (faults_.should_fail(operation))
        return fake_error(operation);
    auto h = handles_.find(handle.value);
    if (h == handles_.end() || h->second.empty())
        return fake_error(operation, {}, kInvalidHandle);
    auto s = services.find(h->second);
    if (s == services.end())
        return fake_error(operation, h->second, kInvalidHandle);
    return &s->second;
}

OsResult<platform::OwnedScHandle> FakeServices::open_manager(std::uint32_t access) {
    if (faults_.should_fail("open_manager"))
        return fake_error("open_manager");
    access_log.push_back("manager:" + std::to_string(access));
    handles_[next_handle_] = "";
    return own(ScHandle{next_handle_++});
}

std::expected<platform::OwnedScHandle, platform::OpenServiceError> FakeServices::open_service(
    ScHandle manager, std::string_view name, std::uint32_t access) {
    using platform::OpenServiceFailure;
    auto refused = [&](OpenServiceFailure kind, std::uint32_t code) {
        return std::unexpected(platform::OpenServiceError{
            kind, platform::OsError{code, "open_service", std::string(name)}});
    };
    if (faults_.should_fail("open_service"))
        return refused(open_service_fault, kFakeFailure);
    if (!handles_.count(manager.value))
        return refused(OpenServiceFailure::failed, kInvalidHandle);
    auto s = services.find(name);
    if (s == services.end())
        return refused(OpenServiceFailure::missing, kServiceDoesNotExist);
    if (s->second.marked_for_deletion && !s->second.opens_while_marked)
        return refused(OpenServiceFailure::missing, kMarkedForDelete);
    access_log.push_back(std::string(name) + ":" + std::to_string(access));
    handles_[next_handle_] = s->first;
    return own(ScHandle{next_handle_++});
}

OsResult<platform::OwnedScHandle> FakeServices::create_service(
    ScHandle manager, const platform::ServiceRegistration& registration, std::uint32_t access) {
    if (faults_.should_fail("create_service"))
        return fake_error("create_service", registration.name);
    if (!handles_.count(manager.value))
        return fake_error("create_service", registration.name, kInvalidHandle);
    if (const auto s = services.find(registration.name); s != services.end()) {
        return fake_error("create_service", registration.name,
                          s->second.marked_for_deletion ? kMarkedForDelete : kServiceExists);
    }
    access_log.push_back("create:" + registration.name + ":" + std::to_string(access));
    services[registration.name].registration = registration;
    handles_[next_handle_] = registration.name;
    return own(ScHandle{next_handle_++});
}

OsResult<void> FakeServices::change_service_config(
    ScHandle service, const platform::ServiceRegistration& registration) {
    auto s = service_of(service, "change_service_config");
    if (!s)
        return std::unexpected(s.error());
    const std::string name = (*s)->registration.name;
    (*s)->registration = registration;
    (*s)->registration.name = name;
    return {};
}

OsResult<void> FakeServices::set_service_description(ScHandle service,
                                                     std::string_view description) {
    return change(service, "set_service_description",
                  [&](FakeService& s) { s.description = std::string(description); });
}

OsResult<void> FakeServices::set_service_sid_type(ScHandle service, std::uint32_t sid_type) {
    return change(service, "set_service_sid_type", [&](FakeService& s) { s.sid_type = sid_type; });
}

OsResult<void> FakeServices::set_required_privileges(ScHandle service,
                                                     const std::vector<std::string>& privileges) {
    return change(service, "set_required_privileges",
                  [&](FakeService& s) { s.required_privileges = privileges; });
}

OsResult<void> FakeServices::set_recovery(ScHandle service,
                                          const platform::ServiceRecovery& recovery) {
    return change(service, "set_recovery", [&](FakeService& s) { s.recovery = recovery; });
}

OsResult<std::uint32_t> FakeServices::query_service_sid_type(ScHandle service) {
    return read(service, "query_service_sid_type", [](const FakeService& s) { return s.sid_type; });
}

OsResult<std::uint32_t> FakeServices::query_service_state(ScHandle service) {
    return read(service, "query_service_state", [](const FakeService& s) { return s.state; });
}

OsResult<platform::ServiceStatus> FakeServices::query_service_status(ScHandle service) {
    return read(service, "query_service_status", [](const FakeService& s) {
        return platform::ServiceStatus{s.state, s.win32_exit_code, s.service_specific_exit_code};
    });
}

OsResult<platform::ServiceStatus> FakeServices::query_service_status_while(
    ScHandle service, const std::function<void()>& meanwhile) {
    meanwhile();
    return query_service_status(service);
}

OsResult<void> FakeServices::start_service(ScHandle service) {
    auto found = service_of(service, "start_service");
    if (!found)
        return std::unexpected(found.error());
    FakeService& s = **found;
    if (s.state != state::kStopped)
        return fake_error("start_service", s.registration.name, kServiceAlreadyRunning);
    s.win32_exit_code = 0;  // a start forgets how the last run ended
    s.service_specific_exit_code = 0;
    return settle(s, state::kRunning, s.starts, on_start);
}

OsResult<void> FakeServices::stop_service(ScHandle service) {
    auto found = service_of(service, "stop_service");
    if (!found)
        return std::unexpected(found.error());
    FakeService& s = **found;
    if (s.state == state::kStopped)
        return fake_error("stop_service", s.registration.name, kServiceNotActive);
    if (s.state == state::kStartPending && s.refusals_while_starting > 0) {
        ++s.refused_stops;
        if (--s.refusals_while_starting == 0)
            s.state = state::kRunning;
        return fake_error("stop_service", s.registration.name, kServiceCannotAcceptControl);
    }
    return settle(s, state::kStopped, s.stops, on_stop);
}

OsResult<bool> FakeServices::marked_for_deletion(ScHandle service) {
    auto found = service_of(service, "marked_for_deletion");
    if (!found)
        return std::unexpected(found.error());
    return (*found)->marked_for_deletion;
}

OsResult<void> FakeServices::delete_service(ScHandle service) {
    return change(service, "delete_service", [&](FakeService& s) { s.marked_for_deletion = true; });
}

void FakeServices::close_service_handle(ScHandle handle) {
    faults_.should_fail("close_service_handle");
    auto h = handles_.find(handle.value);
    if (h == handles_.end())
        return;
    const std::string name = h->second;
    closed.push_back(name.empty() ? "manager" : name);
    handles_.erase(h);
    // A service marked for deletion goes once it has stopped and no handle refers to it.
    if (!name.empty()) {
        auto s = services.find(name);
        bool referenced = false;
        for (auto& [_, n] : handles_)
            referenced = referenced || n == name;
        if (s != services.end() && s->second.marked_for_deletion && !referenced &&
            s->second.state == state::kStopped) {
            services.erase(s);
        }
    }
}

}  // namespace velnaro::fake
