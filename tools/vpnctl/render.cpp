#include "render.hpp"

#include <array>
#include <cstdio>
#include <span>

namespace velnaro::vpnctl {

namespace {

std::uint64_t count_member(const nlohmann::json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end() || !found->is_number_unsigned())
        return 0;
    return found->get<std::uint64_t>();
}

std::optional<std::uint64_t> handshake_of(const nlohmann::json& payload) {
    const auto found = payload.find("lastHandshakeUnixSeconds");
    if (found == payload.end() || !found->is_number_unsigned())
        return std::nullopt;
    return found->get<std::uint64_t>();
}

// Plain words for the codes a status carries.
std::string_view reason_words(std::string_view code) {
    struct Entry {
        std::string_view code;
        std::string_view words;
    };
    static constexpr std::array<Entry, 7> kWords{{
        {"WIREGUARD_HANDSHAKE_PENDING", "no handshake with the gateway yet"},
        {"WIREGUARD_HANDSHAKE_STALE", "no handshake for more than 180 s"},
        {"WIREGUARD_ADAPTER_NOT_READY", "the tunnel is starting, no adapter yet"},
        {"WIREGUARD_ADAPTER_DOWN", "the adapter is down"},
        {"WIREGUARD_ADAPTER_NOT_FOUND", "the tunnel's adapter is missing"},
        {"COMPONENT_DIRECTORY_UNAVAILABLE", "the vpn folder beside the service is missing"},
        {"TUNNEL_SERVICE_STATUS_FAILED", "the tunnel's service could not be queried"},
    }};
    for (const Entry& entry : kWords) {
        if (entry.code == code)
            return entry.words;
    }
    return {};
}

std::string reason_of(const nlohmann::json& payload) {
    const std::string code = text_member(payload, "detailCode", "");
    if (code.empty())
        return "";
    const std::string_view words = reason_words(code);
    return words.empty() ? code : code + " (" + std::string(words) + ")";
}

std::string handshake_text(const nlohmann::json& payload, std::uint64_t now) {
    const auto handshake = handshake_of(payload);
    return handshake ? human_age(*handshake, now) : "never";
}

std::string identity_block(const nlohmann::json& payload) {
    return "public key:       " + text_member(payload, "publicKey", "?") + "\n" +
           "key version:      " + std::to_string(count_member(payload, "keyVersion")) + "\n" +
           "installation id:  " + text_member(payload, "installationId", "?") + "\n";
}

struct TextFor {
    std::string_view key;
    std::string_view text;
};

std::string_view text_for(std::span<const TextFor> table, std::string_view key,
                          std::string_view otherwise) {
    for (const TextFor& entry : table) {
        if (entry.key == key)
            return entry.text;
    }
    return otherwise;
}

constexpr TextFor kAcceptedTexts[] = {
    {"apply", "configuration applied; the tunnel is starting with it"},
    {"start", "the tunnel is starting"},
    {"stop", "the tunnel is stopped"},
    {"repair", "the tunnel is registered again and starting"},
    {"rotate commit",
     "the prepared key is now the device's key; apply the configuration again to use it"},
    {"rotate abort", "no key is prepared any more"},
};

constexpr TextFor kErrorHints[] = {
    {"IPC_CALLER_NOT_ALLOWED",
     " (this account may not change the tunnel; on Linux root and the members of the group "
     "velnaro may)"},
    {"TUNNEL_CONFIG_MISSING", " (no configuration applied yet: use 'vpnctl apply FILE')"},
    {"TUNNEL_SERVICE_NOT_INSTALLED", " (apply a configuration first)"},
    {"IDENTITY_ROTATION_NOT_PREPARED", " (run 'vpnctl rotate prepare' first)"},
};

}  // namespace

std::string text_member(const nlohmann::json& object, const char* name, std::string fallback) {
    if (!object.is_object())
        return fallback;
    const auto found = object.find(name);
    if (found == object.end() || !found->is_string())
        return fallback;
    return found->get<std::string>();
}

std::string human_bytes(std::uint64_t bytes) {
    static constexpr std::array<const char*, 6> kUnits{"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < kUnits.size()) {
        value /= 1024.0;
        ++unit;
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f %s", value, kUnits[unit]);
    return text.data();
}

std::string human_age(std::uint64_t then, std::uint64_t now) {
    const std::uint64_t age = now > then ? now - then : 0;
    const auto part = [](std::uint64_t value, const char* unit) {
        return std::to_string(value) + " " + unit;
    };
    if (age < 60)
        return part(age, "s") + " ago";
    if (age < 3600)
        return part(age / 60, "min") + " " + part(age % 60, "s") + " ago";
    if (age < 86400)
        return part(age / 3600, "h") + " " + part(age % 3600 / 60, "min") + " ago";
    return part(age / 86400, "d") + " " + part(age % 86400 / 3600, "h") + " ago";
}

std::string status_block(const nlohmann::json& payload, std::uint64_t now) {
    std::string text = "state:      " + text_member(payload, "state", "?") + "\n";
    const std::string reason = reason_of(payload);
    if (!reason.empty())
        text += "reason:     " + reason + "\n";
    text += "handshake:  " + handshake_text(payload, now) + "\n";
    text += "received:   " + human_bytes(count_member(payload, "rxBytes")) + "\n";
    text += "sent:       " + human_bytes(count_member(payload, "txBytes")) + "\n";
    return text;
}

std::string endpoint_line(const nlohmann::json& payload, std::string_view note) {
    const std::string state = text_member(payload, "state", "");
    if (state != "CONNECTED" && state != "DEGRADED" && state != "CONNECTING")
        return {};  // a note left by a tunnel that is gone says nothing
    const std::size_t blank = note.find(' ');
    const std::size_t end = note.find('\n');
    if (blank == 0 || blank == std::string_view::npos || end == std::string_view::npos ||
        end <= blank + 1) {
        return {};
    }
    return "endpoint:   " + std::string(note.substr(blank + 1, end - blank - 1)) + " (" +
           std::string(note.substr(0, blank)) + ")\n";
}

std::string blocked_line(const std::vector<std::string>& ranges) {
    if (ranges.empty())
        return {};
    std::string joined;
    for (const auto& range : ranges)
        joined += (joined.empty() ? "" : ", ") + range;
    return "traffic to " + joined + " blocked until the tunnel is up\n";
}

std::string state_and_reason(const nlohmann::json& payload) {
    const std::string reason = reason_of(payload);
    const std::string state = text_member(payload, "state", "?");
    return reason.empty() ? state : state + ", " + reason;
}

std::string status_line(const nlohmann::json& payload, std::uint64_t now) {
    return state_and_reason(payload) + "; handshake " + handshake_text(payload, now) +
           ", received " + human_bytes(count_member(payload, "rxBytes")) + ", sent " +
           human_bytes(count_member(payload, "txBytes"));
}

std::optional<std::string> answer_text(const nlohmann::json& answer, std::string_view command) {
    if (!answer.is_object())
        return std::nullopt;
    const std::string type = text_member(answer, "type", "");
    const auto payload = answer.find("payload");
    const bool has_payload = payload != answer.end() && payload->is_object();
    if (type == "ACCEPTED")
        return std::string(text_for(kAcceptedTexts, command, "accepted")) + "\n";
    if (type == "VERSION" && has_payload)
        return "service version " + text_member(*payload, "service_version", "?") + "\n";
    if (type == "PUBLIC_IDENTITY" && has_payload)
        return identity_block(*payload);
    return std::nullopt;
}

std::string error_hint(std::string_view code) {
    return std::string(text_for(kErrorHints, code, ""));
}

}  // namespace velnaro::vpnctl
