#include <charconv>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/utf.hpp"
#include "protocol/messages.hpp"

namespace velnaro {
namespace {

// Every fixed response fits in one reservation: the largest, a STATUS with a long detail
// code and three 20-digit numbers, stays well under this.
constexpr std::size_t kInitialCapacity = 384;

// Writes compact JSON straight into the body. Names, states and detail codes are constant
// upper-case identifiers and go out as they are; only texts that came from elsewhere
// (identity members, the version) pass through string().
class BodyWriter {
  public:
    explicit BodyWriter(std::vector<std::uint8_t>& body) : body_(body) {}

    void raw(std::string_view text) { body_.insert(body_.end(), text.begin(), text.end()); }

    // False when the text is not UTF-8: JSON text cannot carry it.
    bool string(std::string_view text) {
        if (!is_valid_utf8(text)) {
            return false;
        }
        body_.push_back('"');
        std::size_t run_start = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            if (byte >= 0x20 && byte != '"' && byte != '\\') {
                continue;
            }
            raw(text.substr(run_start, i - run_start));
            escape(byte);
            run_start = i + 1;
        }
        raw(text.substr(run_start));
        body_.push_back('"');
        return true;
    }

    void number(std::uint64_t value) {
        char digits[20];
        const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
        (void)error;  // 20 digits hold every 64-bit value
        raw(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }

  private:
    void escape(unsigned char byte) {
        switch (byte) {
            case '"':
                raw("\\\"");
                return;
            case '\\':
                raw("\\\\");
                return;
            case '\b':
                raw("\\b");
                return;
            case '\f':
                raw("\\f");
                return;
            case '\n':
                raw("\\n");
                return;
            case '\r':
                raw("\\r");
                return;
            case '\t':
                raw("\\t");
                return;
            default:
                break;
        }
        static constexpr char kHex[] = "0123456789abcdef";
        const char sequence[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
        raw(std::string_view(sequence, sizeof sequence));
    }

    std::vector<std::uint8_t>& body_;
};

bool write_payload(BodyWriter& out, const VersionResponse& response) {
    out.raw(R"({"type":"VERSION","payload":{"service_version":)");
    if (!out.string(response.payload.service_version)) {
        return false;
    }
    out.raw("}}");
    return true;
}

bool write_payload(BodyWriter& out, const StatusResponse& response) {
    const ConnectionStatus& status = response.payload;
    out.raw(R"({"type":"STATUS","payload":{"state":")");
    out.raw(to_text(status.state));
    out.raw(R"(","serviceName":")");
    out.raw(kServiceName);
    out.raw(R"(","tunnelName":")");
    out.raw(kTunnelName);
    out.raw(R"(","serviceVersion":")");
    out.raw(kServiceVersion);
    out.raw(R"(","detailCode":)");
    if (status.detail_code) {
        out.raw("\"");
        out.raw(to_text(*status.detail_code));
        out.raw("\"");
    } else {
        out.raw("null");
    }
    out.raw(R"(,"lastHandshakeUnixSeconds":)");
    if (status.last_handshake_unix_seconds) {
        out.number(*status.last_handshake_unix_seconds);
    } else {
        out.raw("null");
    }
    out.raw(R"(,"rxBytes":)");
    out.number(status.rx_bytes);
    out.raw(R"(,"txBytes":)");
    out.number(status.tx_bytes);
    out.raw("}}");
    return true;
}

bool write_payload(BodyWriter& out, const PublicIdentityResponse& response) {
    const PublicIdentity& identity = response.payload;
    out.raw(R"({"type":"PUBLIC_IDENTITY","payload":{"installationId":)");
    if (!out.string(identity.installation_id)) {
        return false;
    }
    out.raw(R"(,"publicKey":)");
    if (!out.string(identity.public_key)) {
        return false;
    }
    out.raw(R"(,"keyVersion":)");
    out.number(identity.key_version);
    out.raw("}}");
    return true;
}

bool write_payload(BodyWriter& out, const AcceptedResponse&) {
    out.raw(R"({"type":"ACCEPTED"})");
    return true;
}

bool write_payload(BodyWriter& out, const ErrorResponse& response) {
    out.raw(R"({"type":"ERROR","payload":{"code":")");
    out.raw(to_text(response.payload.code));
    out.raw("\"}}");
    return true;
}

}  // namespace

Outcome<std::vector<std::uint8_t>> encode_response(const ServiceResponse& response) {
    std::vector<std::uint8_t> body;
    try {
        body.reserve(kInitialCapacity);
        BodyWriter out(body);
        const bool written = std::visit(
            [&out](const auto& alternative) { return write_payload(out, alternative); }, response);
        if (!written) {
            return fail(DetailCode::IPC_RESPONSE_SERIALIZE_FAILED);
        }
    } catch (...) {  // memory exhaustion, or a response left empty by a failed assignment
        return fail(DetailCode::IPC_RESPONSE_SERIALIZE_FAILED);
    }
    if (body.size() > MAX_IPC_MESSAGE_BYTES) {
        return fail(DetailCode::IPC_RESPONSE_TOO_LARGE);
    }
    return body;
}

}  // namespace velnaro
