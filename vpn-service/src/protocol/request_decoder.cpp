#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "protocol/commands.hpp"
#include "protocol/config_reader.hpp"
#include "protocol/messages.hpp"
#include "protocol/strict_json.hpp"

namespace velnaro {
namespace {

constexpr unsigned kAllMembers = (1u << kConfigFields.size()) - 1;

// Stores a number in a member held as a whole number it fits in; false for any other member.
bool store_number(const ConfigTarget& target, std::uint64_t value, TunnelConfig& config) {
    return std::visit(
        [&](auto member) {
            using Value = std::remove_cvref_t<decltype(config.*member)>;
            if constexpr (std::is_integral_v<Value>) {
                if (value > std::numeric_limits<Value>::max())
                    return false;
                config.*member = static_cast<Value>(value);
                return true;
            } else {
                return false;
            }
        },
        target);
}

// The member a target names, when it holds `Value`.
template <class Value>
Value* member_of(const ConfigTarget& target, TunnelConfig& config) {
    const auto* member = std::get_if<Value TunnelConfig::*>(&target);
    return member ? &(config.**member) : nullptr;
}

// Reads exactly the request object: "command" and "payload" once each at most, the
// payload a configuration object holding each member of kConfigFields once, or null. Every
// other shape is refused at the first event that cannot belong to a request, so garbage is
// never read to its end.
//
// The two alternative forms a client could conceivably send (a two-element array in
// place of the object, and "command" written as a one-key object) are refused: no client
// sends them and a single form keeps the protocol easy to check.
//
// A reader made for a configuration alone starts at the payload: the same rules, applied to a
// file a client checks before it sends it. Each refusal notes its fault for that client.
class RequestReader final : public StrictJsonReader {
  public:
    enum class Reads : std::uint8_t { request, configuration };
    explicit RequestReader(Reads reads = Reads::request)
        : config_only_(reads == Reads::configuration),
          expect_(config_only_ ? Expect::Payload : Expect::TopObject) {}

    std::optional<TunnelConfig> configuration() {
        if (expect_ != Expect::Done || !payload_is_config_) {
            return std::nullopt;
        }
        return std::move(config_);
    }

    // The first refusal, or "not an object" when the text ended without one.
    ConfigTextFault fault() const {
        if (text_fault()) {
            return {ConfigTextFault::Kind::not_json, "", *text_fault()};
        }
        return fault_.value_or(ConfigTextFault{ConfigTextFault::Kind::not_an_object, "", {}});
    }

    std::optional<ServiceRequest> request() {
        if (expect_ != Expect::Done || !command_) {
            return std::nullopt;
        }
        const std::optional<std::size_t> index = alternative_named(*command_);
        if (!index) {
            return std::nullopt;
        }
        if (*index == alternative_of<ApplyConfig>) {
            if (!payload_is_config_) {
                return std::nullopt;
            }
            return ServiceRequest{ApplyConfig{std::move(config_)}};
        }
        if (payload_is_config_) {
            return std::nullopt;
        }
        return request_without_payload(*index);
    }

    bool null() override {
        if (expect_ != Expect::Payload || config_only_) {
            return refuse_value();
        }
        expect_ = Expect::TopKey;
        return true;
    }

    bool boolean(bool) override { return refuse_value(); }

    // The parser reports every number written with a minus sign here, "-0" included.
    bool number_integer(number_integer_t) override { return refuse_value(); }

    // Fractions, exponent forms and integers beyond 64 bits all arrive here.
    bool number_float(number_float_t, const string_t&) override { return refuse_value(); }

    bool number_unsigned(number_unsigned_t value) override {
        if (expect_ != Expect::MemberValue) {
            return refuse_value();
        }
        if (!store_number(pending_field().target, value, config_)) {
            return refuse_value();
        }
        expect_ = Expect::MemberKey;
        return true;
    }

    bool string(string_t& value) override {
        switch (expect_) {
            case Expect::Command:
                command_ = std::move(value);
                expect_ = Expect::TopKey;
                return true;
            case Expect::MemberValue:
                return member_string(value);
            case Expect::ListEntry:
                member_of<std::vector<std::string>>(pending_field().target, config_)
                    ->push_back(std::move(value));
                return true;
            default:
                return refuse_value();
        }
    }

    bool key(string_t& name) override {
        if (expect_ == Expect::TopKey) {
            return top_key(name);
        }
        if (expect_ == Expect::MemberKey) {
            return member_key(name);
        }
        return false;
    }

  protected:
    bool object_started() override {
        if (expect_ == Expect::TopObject) {
            expect_ = Expect::TopKey;
            return true;
        }
        if (expect_ == Expect::Payload) {
            payload_is_config_ = true;
            expect_ = Expect::MemberKey;
            return true;
        }
        return refuse_value();
    }

    bool object_ended() override {
        if (expect_ == Expect::TopKey) {
            expect_ = Expect::Done;
            return true;
        }
        if (expect_ == Expect::MemberKey && members_seen_ == kAllMembers) {
            expect_ = config_only_ ? Expect::Done : Expect::TopKey;
            return true;
        }
        if (expect_ == Expect::MemberKey) {
            note(ConfigTextFault::Kind::missing_member, first_missing_member());
        }
        return false;
    }

    bool array_started() override {
        if (expect_ != Expect::MemberValue ||
            !member_of<std::vector<std::string>>(pending_field().target, config_)) {
            return refuse_value();
        }
        expect_ = Expect::ListEntry;
        return true;
    }

    bool array_ended() override {
        if (expect_ != Expect::ListEntry) {
            return false;
        }
        expect_ = Expect::MemberKey;
        return true;
    }

  private:
    enum class Expect : std::uint8_t {
        TopObject,
        TopKey,
        Command,
        Payload,
        MemberKey,
        MemberValue,
        ListEntry,
        Done,
    };

    template <std::size_t... I>
    static ServiceRequest request_at(std::size_t index, std::index_sequence<I...>) {
        ServiceRequest request;
        ((index == I ? (request.emplace<I>(), true) : false) || ...);
        return request;
    }

    static ServiceRequest request_without_payload(std::size_t index) {
        return request_at(index, std::make_index_sequence<std::variant_size_v<ServiceRequest>>{});
    }

    bool top_key(std::string_view name) {
        if (name == "command" && !seen_command_key_) {
            seen_command_key_ = true;
            expect_ = Expect::Command;
            return true;
        }
        if (name == "payload" && !seen_payload_key_) {
            seen_payload_key_ = true;
            expect_ = Expect::Payload;
            return true;
        }
        return false;
    }

    bool member_key(std::string_view name) {
        const ConfigField* field = config_field_named(name);
        if (!field) {
            return note(ConfigTextFault::Kind::unknown_member, name);
        }
        const auto index = static_cast<std::size_t>(field - kConfigFields.data());
        const unsigned bit = 1u << index;
        if ((members_seen_ & bit) != 0) {
            return note(ConfigTextFault::Kind::repeated_member, name);
        }
        members_seen_ |= bit;
        pending_ = index;
        expect_ = Expect::MemberValue;
        return true;
    }

    bool member_string(string_t& value) {
        std::string* member = member_of<std::string>(pending_field().target, config_);
        if (!member) {
            return refuse_value();
        }
        *member = std::move(value);
        expect_ = Expect::MemberKey;
        return true;
    }

    const ConfigField& pending_field() const { return kConfigFields[pending_]; }

    // Notes the first fault and refuses.
    bool note(ConfigTextFault::Kind kind, std::string_view member) {
        if (!fault_) {
            fault_ = ConfigTextFault{kind, std::string(member), {}};
        }
        return false;
    }

    // A value that does not fit where it stands: inside the configuration that is the
    // member's type; anywhere else the configuration is not an object at all.
    bool refuse_value() {
        if (expect_ == Expect::MemberValue || expect_ == Expect::ListEntry) {
            return note(ConfigTextFault::Kind::wrong_type, pending_field().json_name);
        }
        if (expect_ == Expect::Payload) {
            return note(ConfigTextFault::Kind::not_an_object, "");
        }
        return false;
    }

    std::string_view first_missing_member() const {
        for (std::size_t i = 0; i < kConfigFields.size(); ++i) {
            if ((members_seen_ & (1u << i)) == 0) {
                return kConfigFields[i].json_name;
            }
        }
        return {};
    }

    bool config_only_ = false;
    std::optional<ConfigTextFault> fault_;
    Expect expect_ = Expect::TopObject;
    bool seen_command_key_ = false;
    bool seen_payload_key_ = false;
    bool payload_is_config_ = false;
    std::optional<std::string> command_;
    TunnelConfig config_;
    unsigned members_seen_ = 0;
    std::size_t pending_ = 0;  // the row of the member whose value comes next
};

}  // namespace

std::string_view command_name(const ServiceRequest& request) {
    return command_of(request).wire_name;
}

std::expected<TunnelConfig, ConfigTextFault> read_tunnel_config(
    std::span<const std::uint8_t> text) {
    // Broken JSON is named first, wherever it stands: a person fixes the text before its
    // members.
    AnyJsonValue any_value;
    if (!read_strict_json(text, any_value)) {
        return std::unexpected(ConfigTextFault{ConfigTextFault::Kind::not_json, "",
                                               any_value.text_fault().value_or(JsonTextFault{})});
    }
    RequestReader reader(RequestReader::Reads::configuration);
    if (!read_strict_json(text, reader)) {
        return std::unexpected(reader.fault());
    }
    std::optional<TunnelConfig> config = reader.configuration();
    if (!config) {
        return std::unexpected(reader.fault());
    }
    return std::move(*config);
}

Outcome<ServiceRequest> decode_request(std::span<const std::uint8_t> body) {
    if (body.empty() || body.size() > MAX_IPC_MESSAGE_BYTES) {
        return fail(DetailCode::IPC_MESSAGE_SIZE_INVALID);
    }
    RequestReader reader;
    if (!read_strict_json(body, reader)) {
        return fail(DetailCode::IPC_REQUEST_INVALID);
    }
    std::optional<ServiceRequest> request = reader.request();
    if (!request) {
        return fail(DetailCode::IPC_REQUEST_INVALID);
    }
    return std::move(*request);
}

}  // namespace velnaro
