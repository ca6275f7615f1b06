#include <gtest/gtest.h>

#include <set>

#include <string>
#include <vector>

#include "core/base64.hpp"
#include "core/command_line.hpp"
#include "core/detail_code.hpp"
#include "core/utf.hpp"
#include "core/uuid.hpp"

namespace velnaro {
namespace {

TEST(Base64, EncodesStandardAlphabetWithPadding) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"\xfb\xff", "+/8="}};
    for (auto& [plain, text] : cases) {
        EXPECT_EQ(encode_base64(as_bytes(plain)), text);
        auto decoded = decode_base64_canonical(text);
        ASSERT_TRUE(decoded) << text;
        EXPECT_EQ(as_text(*decoded), plain);
    }
    const std::vector<std::uint8_t> zeros(32, 0);
    EXPECT_EQ(encode_base64(zeros), std::string(43, 'A') + "=");
}

TEST(Base64, RefusesNonCanonicalText) {
    for (const char* text : {"Zg", "Zg=", "Zh==", "Zm9=", "Zg==Zg==", "Z===", "=Zg=", "Zm 9",
                             "Zm9v\n", "Zm-_", "Zg=A"}) {
        EXPECT_FALSE(decode_base64_canonical(text)) << text;
    }
    // 32-byte key whose last character leaves unused bits set.
    EXPECT_FALSE(decode_base64_canonical(std::string(42, 'A') + "B="));
    EXPECT_FALSE(decode_base64_canonical(std::string(43, 'A')));
}

TEST(Uuid, SetsVersionAndVariantAndRoundTrips) {
    std::array<std::uint8_t, 16> raw{};
    raw.fill(0xFF);
    const Uuid uuid = make_uuid_v4(raw);
    const std::string text = uuid_to_text(uuid);
    EXPECT_EQ(text, "ffffffff-ffff-4fff-bfff-ffffffffffff");
    EXPECT_EQ(parse_uuid_text(text), uuid);
    EXPECT_EQ(uuid_to_text(make_uuid_v4({})), "00000000-0000-4000-8000-000000000000");
    for (const char* bad : {"", "ffffffff-ffff-4fff-bfff-fffffffffff",
                            "ffffffffxffff-4fff-bfff-ffffffffffff",
                            "gfffffff-ffff-4fff-bfff-ffffffffffff"}) {
        EXPECT_FALSE(parse_uuid_text(bad)) << bad;
    }
}

TEST(CommandLine, QuotesOnlyWhatTheSplitterWouldBreak) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--service", "--service"},
        {"", "\"\""},
        {"C:\\Program Files\\X\\svc.exe", "\"C:\\Program Files\\X\\svc.exe\""},
        {"a\\b", "a\\b"},
        {"a b\\", "\"a b\\\\\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"x\\\"y", "\"x\\\\\\\"y\""},
        {"tab\there", "\"tab\there\""},
        {"v\vt", "\"v\vt\""},
    };
    for (auto& [arg, quoted] : cases) {
        EXPECT_EQ(quote_command_line_argument(arg), quoted) << arg;
    }
}

TEST(CommandLine, SplittingGivesEveryQuotedArgumentBack) {
    const std::vector<std::string> args = {"/opt/x y/vpn-service", "--tunnel-service", "",
                                           "a\\\\b\\", "q\"uo\"te", "\\\"", "tab\t", "end\\"};
    std::string line;
    for (auto& a : args) {
        if (!line.empty()) line.push_back(' ');
        line += quote_command_line_argument(a);
    }
    EXPECT_EQ(split_command_line(line), args);
    EXPECT_EQ(split_command_line("  a   b\t c "), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(Utf, ConvertsForThePlatformAndBack) {
    EXPECT_EQ(to_platform_text("Gere \xc3\xa9 \xf0\x9f\x94\x92"),
              std::u16string(u"Gere \u00e9 \U0001F512"));
    for (std::string bad : {std::string("a\0b", 3), std::string("\xc3"), std::string("\xc0\xaf"),
                            std::string("\xed\xa0\x80"), std::string("\xff")}) {
        EXPECT_FALSE(to_platform_text(bad));
        EXPECT_FALSE(is_valid_utf8(bad) && bad.find('\0') == std::string::npos);
    }
    const char16_t lone_high[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(from_platform_text(lone_high), "a\xef\xbf\xbd" "b");
    const char16_t lone_low_at_end[] = {0xDC00, 0};
    EXPECT_EQ(from_platform_text(lone_low_at_end), "\xef\xbf\xbd");
    EXPECT_EQ(from_platform_text(u"\U0001F512"), "\xf0\x9f\x94\x92");
}

TEST(DetailCode, TextIsTheExactNameBothWays) {
    EXPECT_EQ(to_text(DetailCode::IPC_REQUEST_INVALID), "IPC_REQUEST_INVALID");
    EXPECT_EQ(to_text(DetailCode::WIREGUARD_PEER_COUNT_INVALID), "WIREGUARD_PEER_COUNT_INVALID");
    EXPECT_EQ(detail_code_from_text("TUNNEL_CONFIG_MISSING"), DetailCode::TUNNEL_CONFIG_MISSING);
    EXPECT_FALSE(detail_code_from_text("tunnel_config_missing"));
}

// A code's number reaches service managers and scripts, so it must never move: pinned
// values at both ends and among the later additions, and no number given twice.
TEST(DetailCode, StableNumbersArePinnedAndUnique) {
    EXPECT_EQ(stable_number(DetailCode::ADDRESS_INVALID), 10u);
    EXPECT_EQ(stable_number(DetailCode::WIREGUARD_PEER_COUNT_INVALID), 110u);
    EXPECT_EQ(stable_number(DetailCode::IPC_CALLER_NOT_ALLOWED), 111u);
    std::set<unsigned> seen;
    for (std::size_t i = 0; i < kDetailCodeCount; ++i) {
        const unsigned number = stable_number(static_cast<DetailCode>(i));
        EXPECT_TRUE(number >= 10 && number < 200) << number;
        EXPECT_TRUE(seen.insert(number).second) << number;
        EXPECT_EQ(detail_code_from_stable_number(number), static_cast<DetailCode>(i));
    }
    EXPECT_EQ(stable_number(DetailCode::TUNNEL_ENDPOINT_UNRESOLVED), 116u);
    EXPECT_EQ(detail_code_from_stable_number(1), std::nullopt);  // the command line's own
}

}  // namespace
}  // namespace velnaro
