// The opened plaintext of an identity file: an accepted payload encodes back to the same
// 92 bytes.
#include <algorithm>
#include <cstdlib>

#include "identity/identity_payload.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velnaro;
    const auto identity = decode_identity_payload({data, size});
    if (!identity)
        return 0;
    const auto payload = encode_identity_payload(*identity);
    if (!payload || payload->size() != size || !std::equal(payload->begin(), payload->end(), data))
        std::abort();
    return 0;
}
