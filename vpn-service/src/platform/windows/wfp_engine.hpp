#pragma once

#include <memory>

#include "platform/windows/filter_engine.hpp"

namespace velnaro::platform {

// The filtering platform itself (fwpuclnt), and the adapters and names (iphlpapi, ws2_32).
std::unique_ptr<FilterEngine> make_wfp_engine();
std::unique_ptr<TunnelAdapters> make_tunnel_adapters();

}  // namespace velnaro::platform
