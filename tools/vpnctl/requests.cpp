#include "requests.hpp"

#include <map>
#include <nlohmann/json.hpp>

namespace velnaro::vpnctl {

namespace {

const std::map<std::string, std::string, std::less<>>& single_word_commands() {
    static const std::map<std::string, std::string, std::less<>> commands = {
        {"version", "GET_VERSION"}, {"status", "GET_STATUS"}, {"identity", "ENSURE_IDENTITY"},
        {"start", "START"},         {"stop", "STOP"},         {"repair", "REPAIR"},
    };
    return commands;
}

const std::map<std::string, std::string, std::less<>>& rotation_commands() {
    static const std::map<std::string, std::string, std::less<>> commands = {
        {"prepare", "PREPARE_IDENTITY_ROTATION"},
        {"commit", "COMMIT_IDENTITY_ROTATION"},
        {"abort", "ABORT_IDENTITY_ROTATION"},
    };
    return commands;
}

std::string command_only(std::string_view command) {
    return nlohmann::ordered_json{{"command", command}}.dump();
}

}  // namespace

std::optional<std::string> request_for(
    std::span<const std::string> words,
    std::optional<std::string> (*read_file)(const std::string&)) {
    if (words.empty())
        return std::nullopt;
    const std::string& verb = words[0];
    if (words.size() == 1) {
        const auto found = single_word_commands().find(verb);
        if (found != single_word_commands().end())
            return command_only(found->second);
        return std::nullopt;
    }
    if (words.size() != 2)
        return std::nullopt;
    if (verb == "rotate") {
        const auto found = rotation_commands().find(words[1]);
        if (found == rotation_commands().end())
            return std::nullopt;
        return command_only(found->second);
    }
    if (verb == "raw")
        return words[1];
    if (verb == "apply") {
        const auto content = read_file(words[1]);
        if (!content)
            return std::nullopt;
        // The file holds the configuration record; the service checks it strictly.
        const auto config = nlohmann::ordered_json::parse(*content, nullptr, false);
        if (config.is_discarded())
            return std::nullopt;
        nlohmann::ordered_json request;
        request["command"] = "APPLY_CONFIG";
        request["payload"] = config;
        return request.dump();
    }
    return std::nullopt;
}

}  // namespace velnaro::vpnctl
