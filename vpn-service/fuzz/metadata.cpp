// metadata.json as read from disk: whatever the parser accepts must survive being written
// back and read again unchanged.
#include <cstdlib>
#include <string_view>

#include "identity/metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velnaro;
    const auto identity = parse_metadata({reinterpret_cast<const char*>(data), size});
    if (!identity)
        return 0;
    const auto text = format_metadata(*identity);
    if (!text)
        std::abort();
    const auto again = parse_metadata(*text);
    if (!again || !(*again == *identity))
        std::abort();
    return 0;
}
