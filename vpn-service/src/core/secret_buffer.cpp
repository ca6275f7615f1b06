#include "core/secret_buffer.hpp"

#include <atomic>

namespace velnaro {

void secure_wipe(void* data, std::size_t size) noexcept {
    if (data == nullptr) {
        return;
    }
    volatile std::uint8_t* bytes = static_cast<volatile std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
    // Keeps the stores from being reordered past a following free.
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

bool is_all_zero(std::span<const std::uint8_t> bytes) noexcept {
    std::uint8_t accumulated = 0;
    for (std::uint8_t b : bytes) {
        accumulated |= b;
    }
    return accumulated == 0;
}

}  // namespace velnaro
