#include "session.hpp"

#include <nlohmann/json.hpp>

#include "core/detail_code.hpp"
#include "ipc/client.hpp"
#include "requests.hpp"

namespace velnaro::vpnctl {

namespace {

#ifdef _WIN32
constexpr std::string_view kServiceAccount = "the local system account";
#else
constexpr std::string_view kServiceAccount = "root";
#endif

bool is_error_response(const std::string& body) {
    const auto value = nlohmann::json::parse(body, nullptr, false);
    if (value.is_discarded() || !value.is_object())
        return true;
    const auto type = value.find("type");
    return type == value.end() || !type->is_string() || type->get<std::string>() == "ERROR";
}

Outcome no_answer(std::string_view pipe_name, DetailCode code) {
    // The codes of the connection step name the self-test; say plainly what happened.
    return {kExitErrorOrNoAnswer, "",
            "vpnctl: no answer from the service on " + std::string(pipe_name) + " (" +
                std::string(to_text(code)) + ")\n"};
}

Outcome refused(std::string_view pipe_name, platform::ServerCheck check) {
    std::string reason = check == platform::ServerCheck::other_account
                             ? "it does not run as " + std::string(kServiceAccount)
                             : "the system cannot tell which account runs it";
    return {kExitServerRefused, "",
            "vpnctl: refusing the server on " + std::string(pipe_name) + ": " + reason +
                "; nothing was sent\n"};
}

Outcome answered(const std::vector<std::uint8_t>& answer) {
    std::string body(answer.begin(), answer.end());
    const int status = is_error_response(body) ? kExitErrorOrNoAnswer : kExitAnswered;
    return {status, body + "\n", ""};
}

}  // namespace

Outcome run(platform::Platform& platform, std::span<const std::string> words, FileReader read_file,
            const Target& target) {
    const auto request = request_for(words, read_file);
    if (!request)
        return {kExitUsage, "", std::string(kUsage)};
    const auto pipe = connect_to_service(platform, target.pipe_name, target.patience);
    if (!pipe)
        return no_answer(target.pipe_name, pipe.error());
    const auto check = platform.pipes.verify_server(*pipe);
    if (check != platform::ServerCheck::privileged_service) {
        platform.pipes.close(*pipe);
        return refused(target.pipe_name, check);
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(request->data());
    const auto answer = exchange_frames(platform, *pipe, {bytes, request->size()});
    platform.pipes.close(*pipe);
    if (!answer)
        return no_answer(target.pipe_name, answer.error());
    return answered(*answer);
}

}  // namespace velnaro::vpnctl
