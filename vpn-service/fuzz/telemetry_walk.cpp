// The adapter's configuration block as another library hands it over: the first four bytes
// are the size the library claims, the fifth the adapter state, the rest the buffer.
#include <cstdlib>
#include <vector>

#include "wireguard/telemetry.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velnaro;
    if (size < 5)
        return 0;
    const std::uint32_t claimed =
        data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
    const bool up = (data[4] & 1) != 0;
    // A copy of exactly the buffer's length, so that ASan sees any read past its end.
    const std::vector<std::uint8_t> block(data + 5, data + size);
    const auto telemetry = walk_configuration_block(block, claimed, up);
    if (telemetry && (claimed > block.size() || telemetry->adapter_up != up))
        std::abort();
    return 0;
}
