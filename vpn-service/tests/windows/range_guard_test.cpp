// The Windows guard through a recording double of the filtering calls (which filters, in
// which layers, one transaction, removal of exactly what was added), then the real engine
// as far as this system's filtering platform goes.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "platform/windows/range_guard.hpp"
#include "platform/windows/wfp_engine.hpp"

namespace velnaro::platform {
namespace {

// Keeps filters as the engine would: added in a transaction, seen by all only on commit.
struct RecordingEngine final : FilterEngine {
    struct Stored {
        FilterPlan plan;
        std::string record;
    };
    std::vector<std::string> calls;
    std::map<std::uint8_t, Stored> committed, pending;  // by the first byte of the key
    std::uint8_t next_key = 1;
    int fail_add_at = -1;  // the add_filter call (from 0) that fails
    bool fail_commit = false;
    int adds = 0;
    bool in_transaction = false;

    OsResult<void> open() override { return {}; }
    OsResult<void> begin() override {
        calls.push_back("begin");
        in_transaction = true;
        pending = committed;
        return {};
    }
    OsResult<void> commit() override {
        calls.push_back("commit");
        in_transaction = false;
        if (fail_commit)
            return std::unexpected(OsError{0x80320017u, "FwpmTransactionCommit0", {}});
        committed = pending;
        return {};
    }
    void abort() override {
        calls.push_back("abort");
        in_transaction = false;
    }
    OsResult<void> add_provider() override { return note("provider"); }
    OsResult<void> add_sublayer() override { return note("sublayer"); }
    OsResult<void> add_filter(const FilterPlan& plan, const std::string& record) override {
        calls.push_back("add " + plan.name);
        if (adds++ == fail_add_at)
            return std::unexpected(OsError{0x80320009u, "FwpmFilterAdd0", {}});
        pending[next_key++] = {plan, record};
        return {};
    }
    OsResult<std::vector<HeldFilter>> provider_filters() override {
        std::vector<HeldFilter> held;
        for (const auto& [key, stored] : in_transaction ? pending : committed)
            held.push_back(HeldFilter{{key}, stored.plan.name, stored.record});
        return held;
    }
    OsResult<void> delete_filter(const FilterKey& key) override {
        calls.push_back("delete " + pending.at(key[0]).plan.name);
        pending.erase(key[0]);
        return {};
    }
    OsResult<void> delete_sublayer() override { return note("delete sublayer"); }
    OsResult<void> delete_provider() override { return note("delete provider"); }

    OsResult<void> note(std::string call) {
        calls.push_back(std::move(call));
        return {};
    }
    std::vector<FilterPlan> plans() const {
        std::vector<FilterPlan> all;
        for (const auto& [key, stored] : committed)
            all.push_back(stored.plan);
        return all;
    }
};

struct StubAdapters final : TunnelAdapters {
    std::optional<std::uint64_t> luid;
    std::function<void()> changed;
    std::optional<std::uint64_t> luid_of(const std::string& name) override {
        return name == "VelnaroTunnel" ? luid : std::nullopt;
    }
    std::optional<Ipv4Endpoint> resolve(const std::string& endpoint) override {
        return endpoint == "10.250.0.1:51820" ? std::optional(Ipv4Endpoint{0x0AFA0001, 51820})
                                              : std::nullopt;
    }
    void watch(std::function<void()> callback) override { changed = std::move(callback); }
};

struct Guard {
    RecordingEngine* engine = new RecordingEngine;
    StubAdapters* adapters = new StubAdapters;
    Win32RangeGuard guard{std::unique_ptr<FilterEngine>(engine),
                          std::unique_ptr<TunnelAdapters>(adapters)};
};

GuardedTunnel tunnel() {
    return {{"10.250.0.0/16", "10.99.0.0/24"}, "VelnaroTunnel", "10.250.77.2/32",
            "10.250.0.1:51820", kWireGuardMark};
}

FilterConditions remote(std::uint32_t address, std::uint32_t mask) {
    FilterConditions conditions;
    conditions.remote = Ipv4Network{address, mask};
    return conditions;
}

TEST(WindowsRangeGuard, HoldsTheWholeSetInOneTransaction) {
    Guard g;
    g.adapters->luid = 0x0006'0000'0100'0000;
    ASSERT_TRUE(g.guard.hold(tunnel()));

    using enum FilterLayer;
    using enum FilterAction;
    FilterConditions tunnel_address;
    tunnel_address.local = Ipv4Network{0x0AFA4D02, 0xFFFFFFFF};
    FilterConditions adapter;
    adapter.interface_luid = 0x0006'0000'0100'0000;
    FilterConditions gateway = remote(0x0AFA0001, 0xFFFFFFFF);
    gateway.remote_port = 51820;
    gateway.protocol = 17;
    const std::vector<FilterPlan> expected = {
        {"block to 10.250.0.0/16", outbound_connect, block, 1, remote(0x0AFA0000, 0xFFFF0000)},
        {"block from 10.250.0.0/16", inbound_accept, block, 1, remote(0x0AFA0000, 0xFFFF0000)},
        {"block to 10.99.0.0/24", outbound_connect, block, 1, remote(0x0A630000, 0xFFFFFF00)},
        {"block from 10.99.0.0/24", inbound_accept, block, 1, remote(0x0A630000, 0xFFFFFF00)},
        {"block to the tunnel address 10.250.77.2/32", inbound_accept, block, 1, tunnel_address},
        {"permit the tunnel interface out", outbound_connect, permit, 10, adapter},
        {"permit the tunnel interface in", inbound_accept, permit, 10, adapter},
        {"permit WireGuard to 10.250.0.1:51820", outbound_connect, permit, 10, gateway},
        {"permit WireGuard from 10.250.0.1:51820", inbound_accept, permit, 10, gateway},
    };
    EXPECT_EQ(g.engine->plans(), expected);
    std::vector<std::string> calls = {"begin", "provider", "sublayer"};
    for (const auto& filter : expected)
        calls.push_back("add " + filter.name);
    calls.push_back("commit");
    EXPECT_EQ(g.engine->calls, calls);
    EXPECT_EQ(g.guard.held_ranges(), tunnel().ranges);
    EXPECT_EQ(g.guard.blocked_ranges(), std::vector<std::string>{});
}

// Before the tunnel's service creates its adapter the ranges are closed; when the adapter
// appears, the same set comes back with its permit, in place of the old one.
TEST(WindowsRangeGuard, ClosesTheRangesUntilTheAdapterAppears) {
    Guard g;
    ASSERT_TRUE(g.guard.hold(tunnel()));
    for (const auto& filter : g.engine->plans())
        EXPECT_FALSE(filter.conditions.interface_luid) << filter.name;
    EXPECT_EQ(g.guard.blocked_ranges(), tunnel().ranges);
    ASSERT_TRUE(g.adapters->changed);

    g.adapters->luid = 7;
    g.engine->calls.clear();
    g.adapters->changed();
    EXPECT_EQ(g.engine->plans().size(), 9u);
    EXPECT_EQ(std::count(g.engine->calls.begin(), g.engine->calls.end(), "begin"), 1);
    EXPECT_EQ(g.engine->calls.back(), "commit");
    EXPECT_EQ(g.guard.blocked_ranges(), std::vector<std::string>{});
}

TEST(WindowsRangeGuard, AFailedAddAbortsAndLeavesTheOldSetWhole) {
    Guard g;
    ASSERT_TRUE(g.guard.hold(tunnel()));
    const auto before = g.engine->plans();
    auto next = tunnel();
    next.ranges = {"172.16.0.0/12"};
    g.engine->fail_add_at = g.engine->adds + 1;
    g.engine->calls.clear();
    const auto held = g.guard.hold(next);
    ASSERT_FALSE(held);
    EXPECT_EQ(held.error().operation, std::string("FwpmFilterAdd0"));
    EXPECT_EQ(g.engine->calls.back(), "abort");
    EXPECT_EQ(std::count(g.engine->calls.begin(), g.engine->calls.end(), "commit"), 0);
    EXPECT_EQ(g.engine->plans(), before);
    EXPECT_EQ(g.guard.held_ranges(), tunnel().ranges);
}

TEST(WindowsRangeGuard, AFailedCommitAbortsBothAHoldAndARelease) {
    Guard g;
    ASSERT_TRUE(g.guard.hold(tunnel()));
    g.engine->fail_commit = true;
    const auto held = g.guard.hold(tunnel());
    EXPECT_EQ(g.engine->calls.back(), "abort");
    const auto released = g.guard.release();
    EXPECT_EQ(g.engine->calls.back(), "abort");
    for (const auto& failed : {held, released}) {
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().operation, std::string("FwpmTransactionCommit0"));
    }
    EXPECT_EQ(g.guard.held_ranges(), tunnel().ranges);
}

TEST(WindowsRangeGuard, ReleaseRemovesExactlyWhatWasAdded) {
    Guard g;
    ASSERT_TRUE(g.guard.hold(tunnel()));
    const auto added = g.engine->plans();
    g.engine->calls.clear();
    ASSERT_TRUE(g.guard.release());
    std::vector<std::string> calls = {"begin"};
    for (const auto& filter : added)
        calls.push_back("delete " + filter.name);
    for (const auto* step : {"delete sublayer", "delete provider", "commit"})
        calls.push_back(step);
    EXPECT_EQ(g.engine->calls, calls);
    EXPECT_TRUE(g.engine->committed.empty());
    EXPECT_EQ(g.guard.restore(), false);
    EXPECT_TRUE(g.guard.release());  // nothing held: still a success
}

TEST(WindowsRangeGuard, RefusesWhatIsNotIpv4) {
    Guard g;
    auto six = tunnel();
    six.ranges.push_back("fd00::/8");
    auto short_address = tunnel();
    short_address.address = "10.250.77";
    for (const auto& broken : {six, short_address})
        EXPECT_FALSE(g.guard.hold(broken));
    EXPECT_TRUE(g.engine->calls.empty());
}

// The real filtering platform: Wine's accepts some calls and enforces nothing, so this
// checks only what it keeps, and says where it refuses.
TEST(WindowsRangeGuard, RealEngineHoldsAndReleases) {
    Win32RangeGuard guard;
    const auto held = guard.hold(tunnel());
    if (!held) {
        // Nothing could be held, so nothing is: STOP and removal still succeed here.
        if (held.error().code == RPC_S_CANNOT_SUPPORT) {
            EXPECT_TRUE(guard.release());
            EXPECT_EQ(guard.held_ranges(), std::vector<std::string>{});
        }
        GTEST_SKIP() << "this system's filtering platform refused " << held.error().operation
                     << " (error 0x" << std::hex << held.error().code << ")";
    }
    EXPECT_EQ(guard.held_ranges(), tunnel().ranges);
    ASSERT_TRUE(guard.release());
    EXPECT_EQ(guard.held_ranges(), std::vector<std::string>{});
}

}  // namespace
}  // namespace velnaro::platform
