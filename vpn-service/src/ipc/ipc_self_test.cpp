#include "ipc/ipc_self_test.hpp"

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "core/version.hpp"
#include "dispatch/unlinked_tunnel_controller.hpp"
#include "ipc_client/client.hpp"
#include "ipc/pipe_server.hpp"
#include "protocol/commands.hpp"
#include "protocol/strict_json.hpp"

namespace velnaro {

namespace {

const std::string kVersionRequest = request_without_payload(wire_name_of<GetVersion>);

// Reads the answer as strictly as the service reads a request (no duplicate member at any
// level, no byte-order mark, nothing after the value) and looks for "type":"VERSION" at the
// top of one object.
class VersionAnswerReader final : public StrictJsonReader {
  public:
    bool is_version() const { return top_is_object_ && is_version_; }

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t& text) override {
        if (type_follows_ && text == "VERSION")
            is_version_ = true;
        return value();
    }
    bool key(string_t& name) override {
        if (open_.empty() || !open_.back().has_value())
            return false;
        if (!open_.back()->insert(name).second)
            return false;  // a member named twice
        type_follows_ = open_.size() == 1 && name == "type";
        return true;
    }

  protected:
    bool object_started() override { return open(true); }
    bool object_ended() override { return close(); }
    bool array_started() override { return open(false); }
    bool array_ended() override { return close(); }

  private:
    bool value() {
        type_follows_ = false;
        return true;
    }
    bool open(bool object) {
        if (open_.empty() && !seen_value_)
            top_is_object_ = object;
        seen_value_ = true;
        type_follows_ = false;
        open_.emplace_back(object ? std::optional<std::set<std::string>>(std::in_place)
                                  : std::nullopt);
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    // The member names of each open object; nothing for an open array.
    std::vector<std::optional<std::set<std::string>>> open_;
    bool seen_value_ = false;
    bool top_is_object_ = false;
    bool type_follows_ = false;
    bool is_version_ = false;
};

bool is_version_response(const std::vector<std::uint8_t>& body) {
    VersionAnswerReader reader;
    return read_strict_json(body, reader) && reader.is_version();
}

Outcome<void> exchange_version(platform::Platform& platform, std::string_view pipe_name) {
    auto pipe = connect_to_service(platform, pipe_name, kSelfTestPatience);
    if (!pipe)
        return fail(std::move(pipe.error()));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(kVersionRequest.data());
    auto answer = exchange_frames(platform, **pipe, {bytes, kVersionRequest.size()});
    // An answer too large for a frame is no answer to GET_VERSION.
    if (!answer && answer.error() == DetailCode::IPC_MESSAGE_SIZE_INVALID)
        return fail(DetailCode::IPC_SELF_TEST_RESPONSE_INVALID);
    if (!answer)
        return fail(std::move(answer.error()));
    if (!is_version_response(*answer))
        return fail(DetailCode::IPC_SELF_TEST_RESPONSE_INVALID);
    return {};
}

// The service may sit between two connections, or still be starting, with no instance of
// its pipe; a private server would take the name from it. So the service manager is asked
// first: a service starting or running keeps its name.
bool service_holds_the_name(platform::ServiceControl& services) {
    const auto manager = services.open_manager(platform::access::kManagerConnect);
    if (!manager)
        return false;
    const auto service =
        services.open_service(manager->get(), kServiceName, platform::access::kServiceQueryStatus);
    if (!service)
        return false;
    const auto state = services.query_service_state(service->get());
    return state && (*state == platform::service_state::kStartPending ||
                     *state == platform::service_state::kRunning);
}

}  // namespace

IpcSelfTestResult run_ipc_self_test(Runtime& runtime, std::string_view pipe_name) {
    platform::Platform& platform = runtime.platform;
    auto stop = std::make_shared<std::atomic<bool>>(false);
    std::thread server;
    if (!platform.pipes.pipe_exists(pipe_name) && !service_holds_the_name(platform.services)) {
        RequestContext context{nullptr, std::make_unique<UnlinkedTunnelController>()};
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
    const Outcome<void> exchanged = exchange_version(platform, pipe_name);
    if (server.joinable()) {
        stop->store(true);
        wake_pipe_server(platform, pipe_name);
        server.join();
    }
    if (!exchanged)
        return IpcSelfTestResult{false, std::string(pipe_name), exchanged.error()};
    return IpcSelfTestResult{true, std::string(pipe_name), std::nullopt};
}

std::string to_json(const IpcSelfTestResult& result) {
    nlohmann::ordered_json json;
    json["success"] = result.success;
    json["pipeName"] = result.pipe_name;
    json["detailCode"] = result.failure
                             ? nlohmann::ordered_json(std::string(to_text(result.failure->code)))
                             : nlohmann::ordered_json(nullptr);
    return json.dump();
}

}  // namespace velnaro
