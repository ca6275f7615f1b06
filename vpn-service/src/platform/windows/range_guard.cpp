#include "platform/windows/range_guard.hpp"

#include <windows.h>

#include <algorithm>

#include "platform/service_host.hpp"
#include "platform/windows/wfp_engine.hpp"

namespace velnaro::platform {
namespace {

std::unexpected<OsError> invalid(const GuardedTunnel& tunnel) {
    return std::unexpected(OsError{ERROR_INVALID_PARAMETER, "holding the ranges", tunnel.interface_name});
}

// A system whose filtering engine does not support being opened at all (Wine answers
// RPC_S_CANNOT_SUPPORT) can hold nothing, so it holds nothing of ours to read or release.
// Any other refusal (the engine's service stopped, access denied) may hide filters that
// are still there, and stays a failure.
bool engine_unsupported(const OsError& error) {
    return error.code == RPC_S_CANNOT_SUPPORT;
}

// Every filter carries the record of the tunnel it holds as its provider data: the filters
// themselves say what is held (they survive a restart of the machine; no file is needed), so
// restore() can hold the same tunnel again once its adapter exists. No mark: WireGuard's
// packets pass by the gateway's address here.
std::string record_of(const GuardedTunnel& tunnel) {
    return guard_record_text(tunnel, MarkLine::left_out);
}

// Nothing for a record with a range the filters cannot hold (not IPv4).
std::optional<GuardedTunnel> tunnel_of(std::string_view record) {
    auto tunnel = read_guard_record(record);
    const auto ipv4 = [](const std::string& range) {
        return parse_ipv4_network(range).has_value();
    };
    if (!tunnel || !std::ranges::all_of(tunnel->ranges, ipv4))
        return std::nullopt;
    return tunnel;
}

}  // namespace

Win32RangeGuard::Win32RangeGuard(std::unique_ptr<FilterEngine> engine,
                                 std::unique_ptr<TunnelAdapters> adapters)
    : engine_(std::move(engine)), adapters_(std::move(adapters)) {}

Win32RangeGuard::Win32RangeGuard() : Win32RangeGuard(make_wfp_engine(), make_tunnel_adapters()) {}

Win32RangeGuard::~Win32RangeGuard() {
    adapters_.reset();  // the watch ends before the engine it calls goes
}

OsResult<void> Win32RangeGuard::hold(const GuardedTunnel& tunnel) {
    std::lock_guard lock(mutex_);
    return hold_locked(tunnel);
}

OsResult<void> Win32RangeGuard::hold_locked(const GuardedTunnel& tunnel) {
    const auto luid = adapters_->luid_of(tunnel.interface_name);
    const auto filters = guard_filters(tunnel, luid, adapters_->resolve(tunnel.endpoint));
    if (!filters || tunnel.interface_name.empty())
        return invalid(tunnel);
    if (auto replaced = replace_filters(*filters, record_of(tunnel)); !replaced)
        return replaced;
    // The adapter is created when the tunnel's service starts, and again (perhaps under
    // another LUID) when it restarts: each time, the permit for the adapter as it is now.
    if (!watching_) {
        watching_ = true;
        adapters_->watch([this] { restore(); });
    }
    return {};
}

// The old filters go and the new ones come in one transaction: a range that stays is never
// open, and a failure (or a crash) leaves the old set whole. A system whose engine cannot be
// opened at all cannot hold the ranges either, so the engine's refusal fails the hold.
OsResult<void> Win32RangeGuard::replace_filters(const std::vector<FilterPlan>& filters,
                                                const std::string& record) {
    if (auto opened = engine_->open(); !opened)
        return opened;
    return in_transaction([&]() -> OsResult<void> {
        if (auto added = engine_->add_provider(); !added)
            return added;
        if (auto added = engine_->add_sublayer(); !added)
            return added;
        if (auto deleted = delete_filters(); !deleted)
            return deleted;
        for (const auto& filter : filters) {
            if (auto added = engine_->add_filter(filter, record); !added)
                return added;
        }
        return {};
    });
}

OsResult<void> Win32RangeGuard::remove_all() {
    const auto opened = open_engine();
    if (!opened)
        return std::unexpected(opened.error());
    if (!*opened)
        return {};
    return in_transaction([&]() -> OsResult<void> {
        if (auto deleted = delete_filters(); !deleted)
            return deleted;
        if (auto deleted = engine_->delete_sublayer(); !deleted)
            return deleted;
        return engine_->delete_provider();
    });
}

OsResult<std::optional<GuardedTunnel>> Win32RangeGuard::recorded() {
    const auto opened = open_engine();
    if (!opened)
        return std::unexpected(opened.error());
    if (!*opened)
        return std::optional<GuardedTunnel>();
    const auto filters = engine_->provider_filters();
    if (!filters)
        return std::unexpected(filters.error());
    if (filters->empty())
        return std::optional<GuardedTunnel>();
    const auto tunnel = tunnel_of(filters->front().record);
    if (!tunnel)
        return std::unexpected(OsError{ERROR_INVALID_DATA, "reading the filters' record", {}});
    return tunnel;
}

OsResult<bool> Win32RangeGuard::open_engine() {
    const auto opened = engine_->open();
    if (opened)
        return true;
    if (engine_unsupported(opened.error()))
        return false;
    return std::unexpected(opened.error());
}

OsResult<void> Win32RangeGuard::in_transaction(const std::function<OsResult<void>()>& steps) {
    if (auto begun = engine_->begin(); !begun)
        return begun;
    auto done = steps();
    if (done)
        done = engine_->commit();
    if (!done)
        engine_->abort();
    return done;
}

OsResult<void> Win32RangeGuard::delete_filters() {
    const auto old = engine_->provider_filters();
    if (!old)
        return std::unexpected(old.error());
    for (const auto& filter : *old) {
        if (auto deleted = engine_->delete_filter(filter.key); !deleted)
            return deleted;
    }
    return {};
}

OsResult<bool> Win32RangeGuard::restore() {
    std::lock_guard lock(mutex_);
    const auto tunnel = recorded();
    if (!tunnel)
        return std::unexpected(tunnel.error());
    if (!*tunnel)
        return false;
    if (auto held = hold_locked(**tunnel); !held)
        return std::unexpected(held.error());
    return true;
}

OsResult<void> Win32RangeGuard::release() {
    std::lock_guard lock(mutex_);
    return remove_all();
}

OsResult<std::vector<std::string>> Win32RangeGuard::held_ranges() {
    std::lock_guard lock(mutex_);
    const auto tunnel = recorded();
    if (!tunnel)
        return std::unexpected(tunnel.error());
    return *tunnel ? (*tunnel)->ranges : std::vector<std::string>{};
}

// Refused: held, and the tunnel's interface has no permit (it did not exist at the last
// hold) or no longer exists.
OsResult<std::vector<std::string>> Win32RangeGuard::blocked_ranges() {
    std::lock_guard lock(mutex_);
    const auto tunnel = recorded();
    if (!tunnel)
        return std::unexpected(tunnel.error());
    if (!*tunnel)
        return std::vector<std::string>{};
    const auto filters = engine_->provider_filters();
    if (!filters)
        return std::unexpected(filters.error());
    bool permitted = false;
    for (const auto& filter : *filters)
        permitted = permitted || filter.name == kTunnelPermitOut;
    if (permitted && adapters_->luid_of((*tunnel)->interface_name))
        return std::vector<std::string>{};
    return (*tunnel)->ranges;
}

OsResult<bool> Win32RangeGuard::interface_up(std::string_view name) {
    return std::unexpected(OsError{kErrorCallNotImplemented, "interface_up", std::string(name)});
}

}  // namespace velnaro::platform
