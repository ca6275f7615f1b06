#include "ipc/ipc_self_test.hpp"

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/version.hpp"
#include "dispatch/unlinked_tunnel_controller.hpp"
#include "ipc/client.hpp"
#include "ipc/pipe_server.hpp"
#include "protocol/messages.hpp"

namespace velnaro {

namespace {

constexpr std::string_view kVersionRequest = R"({"command":"GET_VERSION"})";

bool is_version_response(const std::vector<std::uint8_t>& body) {
    const auto value = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return false;
    const auto type = value.find("type");
    return type != value.end() && type->is_string() && type->get<std::string>() == "VERSION";
}

std::optional<DetailCode> exchange_version(platform::Platform& platform,
                                           std::string_view pipe_name) {
    auto pipe = connect_to_service(platform, pipe_name, kSelfTestPatience);
    if (!pipe)
        return pipe.error();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(kVersionRequest.data());
    auto answer = exchange_frames(platform, *pipe, {bytes, kVersionRequest.size()});
    platform.pipes.close(*pipe);
    if (!answer) {
        return answer.error() == DetailCode::IPC_MESSAGE_SIZE_INVALID
                   ? DetailCode::IPC_SELF_TEST_RESPONSE_INVALID
                   : answer.error();
    }
    if (!is_version_response(*answer))
        return DetailCode::IPC_SELF_TEST_RESPONSE_INVALID;
    return std::nullopt;
}

// The service may sit between two connections, or still be starting, with no instance of
// its pipe; a private server would take the name from it. So the service manager is asked
// first: a service starting or running keeps its name.
bool service_holds_the_name(platform::ServiceControl& services) {
    const auto manager = services.open_manager(platform::access::kManagerConnect);
    if (!manager)
        return false;
    const auto service =
        services.open_service(*manager, kServiceName, platform::access::kServiceQueryStatus);
    std::optional<std::uint32_t> state;
    if (service) {
        state = services.query_service_state(*service);
        services.close_service_handle(*service);
    }
    services.close_service_handle(*manager);
    return state == platform::service_state::kStartPending ||
           state == platform::service_state::kRunning;
}

}  // namespace

IpcSelfTestResult run_ipc_self_test(Runtime& runtime, std::string_view pipe_name) {
    platform::Platform& platform = runtime.platform;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    std::thread server;
    if (!platform.pipes.pipe_exists(pipe_name) && !service_holds_the_name(platform.services)) {
        RequestContext context{std::nullopt, std::make_unique<UnlinkedTunnelController>()};
        try {
            server =
                std::thread([&runtime, stop, pipe_name, context = std::move(context)]() mutable {
                    run_pipe_server(runtime, std::move(context), stop, pipe_name);
                });
        } catch (...) {
            // Without a thread there is no private server; the wait below then reports the
            // pipe as unavailable unless some other server answers.
        }
    }
    const std::optional<DetailCode> failure = exchange_version(platform, pipe_name);
    if (server.joinable()) {
        stop->store(true);
        wake_pipe_server(platform, pipe_name);
        server.join();
    }
    return IpcSelfTestResult{!failure.has_value(), std::string(pipe_name), failure};
}

std::string to_json(const IpcSelfTestResult& result) {
    nlohmann::ordered_json json;
    json["success"] = result.success;
    json["pipeName"] = result.pipe_name;
    json["detailCode"] = result.detail_code
                             ? nlohmann::ordered_json(std::string(to_text(*result.detail_code)))
                             : nlohmann::ordered_json(nullptr);
    return json.dump();
}

}  // namespace velnaro
