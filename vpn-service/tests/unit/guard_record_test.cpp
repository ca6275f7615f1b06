// The range guard's record, which outlives the program that wrote it (a file on Linux, the
// filters' provider data on Windows): the text each system writes, and read back.
#include <gtest/gtest.h>

#include "platform/range_guard.hpp"

namespace velnaro::platform {
namespace {

TEST(GuardRecord, ReadsBackTheTextEachSystemWrites) {
    const GuardedTunnel tunnel{
        {"10.250.0.0/16", "10.99.0.0/24"}, "VelnaroTunnel", "10.250.77.2/32", "gw:51820", 7};
    const std::string head = "interface VelnaroTunnel\naddress 10.250.77.2/32\nendpoint gw:51820\n";
    const std::string ranges = "range 10.250.0.0/16\nrange 10.99.0.0/24\n";
    GuardedTunnel unmarked = tunnel;
    unmarked.mark = kWireGuardMark;
    const std::tuple<MarkLine, std::string, GuardedTunnel> systems[] = {
        {MarkLine::written, head + "mark 7\n" + ranges, tunnel},
        {MarkLine::left_out, head + ranges, unmarked},
    };
    for (const auto& [mark, text, read] : systems) {
        EXPECT_EQ(guard_record_text(tunnel, mark), text);
        EXPECT_EQ(read_guard_record(text), read) << text;
    }
    for (const char* foreign : {"interface a\nport 1\n", "mark 7x\n", "mark 4294967296\n"})
        EXPECT_EQ(read_guard_record(foreign), std::nullopt) << foreign;
}

}  // namespace
}  // namespace velnaro::platform
