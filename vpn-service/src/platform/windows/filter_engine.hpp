#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/os_error.hpp"
#include "platform/windows/range_filters.hpp"

namespace velnaro::platform {

using FilterKey = std::array<std::uint8_t, 16>;  // a filter's GUID, as the engine gave it

// A filter of the service's provider, as the engine lists it.
struct HeldFilter {
    FilterKey key{};
    std::string name;
    std::string record;  // its provider data: guard_record_text of the tunnel it holds
};

// The calls of the filtering platform the guard makes (wfp_engine.cpp: fwpuclnt), one
// operation each, so that a test can record their order and content. Every object added
// belongs to the service's own provider and sublayer, with fixed GUIDs.
class FilterEngine {
  public:
    virtual ~FilterEngine() = default;
    virtual OsResult<void> open() = 0;  // a session that is not dynamic: what it adds stays
    virtual OsResult<void> begin() = 0;
    virtual OsResult<void> commit() = 0;
    virtual void abort() = 0;
    // Each adds a persistent object; one already there (the same key) counts as added.
    virtual OsResult<void> add_provider() = 0;
    virtual OsResult<void> add_sublayer() = 0;
    virtual OsResult<void> add_filter(const FilterPlan& filter, const std::string& record) = 0;
    // The filters of the service's provider, in every layer the guard uses.
    virtual OsResult<std::vector<HeldFilter>> provider_filters() = 0;
    virtual OsResult<void> delete_filter(const FilterKey& key) = 0;
    // Each removes the object; one not there counts as removed.
    virtual OsResult<void> delete_sublayer() = 0;
    virtual OsResult<void> delete_provider() = 0;
};

// What the guard asks of the network besides the filters.
class TunnelAdapters {
  public:
    virtual ~TunnelAdapters() = default;
    // The adapter named `name` (its LUID), when it exists now.
    virtual std::optional<std::uint64_t> luid_of(const std::string& name) = 0;
    // The endpoint "host:port" as an IPv4 address and port, when it resolves.
    virtual std::optional<Ipv4Endpoint> resolve(const std::string& endpoint) = 0;
    // Calls `changed` whenever an interface is added, until the object goes (once set).
    virtual void watch(std::function<void()> changed) = 0;
};

}  // namespace velnaro::platform
