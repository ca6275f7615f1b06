#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/range_guard.hpp"
#include "platform/windows/filter_engine.hpp"

namespace velnaro::platform {

// The guard on Windows: the filtering platform's persistent filters of the service's own
// provider and sublayer (range_filters.hpp says which), replaced whole in one transaction.
// The filters are their own record: they survive a crash and a restart of the machine, and
// carry the tunnel they hold. While the tunnel's adapter does not exist the ranges are
// closed (blocks without the tunnel's permit); when an interface appears, the guard holds
// the recorded tunnel again, with the permit for the adapter once it has a LUID.
class Win32RangeGuard final : public RangeGuard {
  public:
    Win32RangeGuard(std::unique_ptr<FilterEngine> engine, std::unique_ptr<TunnelAdapters> adapters);
    // The real engine and adapters (fwpuclnt, iphlpapi).
    Win32RangeGuard();
    ~Win32RangeGuard() override;

    OsResult<void> hold(const GuardedTunnel& tunnel) override;
    OsResult<bool> restore() override;
    OsResult<void> release() override;
    OsResult<std::vector<std::string>> held_ranges() override;
    OsResult<std::vector<std::string>> blocked_ranges() override;
    // Not read on Windows: vpnctl says nothing of the adapter when the service does not answer.
    OsResult<bool> interface_up(std::string_view name) override;

  private:
    OsResult<void> hold_locked(const GuardedTunnel& tunnel);
    OsResult<void> replace_filters(const std::vector<FilterPlan>& filters, const std::string& record);
    OsResult<void> remove_all();
    OsResult<std::optional<GuardedTunnel>> recorded();
    // The engine opened; false where this system's engine cannot be opened at all.
    OsResult<bool> open_engine();
    // `steps` in one transaction of the engine: committed when they succeed, else aborted.
    OsResult<void> in_transaction(const std::function<OsResult<void>()>& steps);
    // Inside a transaction: every filter of the service's provider goes.
    OsResult<void> delete_filters();

    std::unique_ptr<FilterEngine> engine_;
    std::unique_ptr<TunnelAdapters> adapters_;
    std::recursive_mutex mutex_;  // the adapter watch calls in from another thread
    bool watching_ = false;
};

}  // namespace velnaro::platform
