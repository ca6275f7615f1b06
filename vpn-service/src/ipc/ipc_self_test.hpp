#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "ipc_client/pipe_name.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

struct IpcSelfTestResult {
    bool success = false;
    std::string pipe_name;
    std::optional<Failure> failure;
};

inline constexpr std::chrono::seconds kSelfTestPatience{2};

// Exchanges GET_VERSION over the pipe. A private server is started only when nobody holds the
// name; when the service runs, the test talks to it instead of racing it for the name.
IpcSelfTestResult run_ipc_self_test(Runtime& runtime,
                                    std::string_view pipe_name = kServicePipeName);

// {"success":...,"pipeName":...,"detailCode":...}
std::string to_json(const IpcSelfTestResult& result);

}  // namespace velnaro
