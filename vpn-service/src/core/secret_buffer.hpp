#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <vector>

namespace velnaro {

// Overwrites `size` bytes at `data` with zeros in a way the optimiser cannot drop.
void secure_wipe(void* data, std::size_t size) noexcept;

// Allocator that wipes the whole allocated capacity before releasing it, so neither
// destruction nor growth of a container leaves a copy of a secret behind.
template <class T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        secure_wipe(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }

    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

// Holds a private key, its base64 text, an identity payload, WireGuard text, an opened
// blob or an adapter configuration block.
using SecretBuffer = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

inline void append_text(SecretBuffer& buffer, std::string_view text) {
    buffer.insert(buffer.end(), text.begin(), text.end());
}

inline std::string_view as_text(const SecretBuffer& buffer) {
    return {reinterpret_cast<const char*>(buffer.data()), buffer.size()};
}

inline std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A fixed-size secret (a 32-byte key) that is wiped when it goes out of scope.
template <std::size_t N>
class SecretArray {
public:
    SecretArray() noexcept = default;
    SecretArray(const SecretArray& other) noexcept = default;
    SecretArray& operator=(const SecretArray& other) noexcept = default;
    ~SecretArray() { secure_wipe(bytes_, N); }

    std::uint8_t* data() noexcept { return bytes_; }
    const std::uint8_t* data() const noexcept { return bytes_; }
    static constexpr std::size_t size() noexcept { return N; }
    std::span<std::uint8_t, N> span() noexcept { return std::span<std::uint8_t, N>(bytes_); }
    std::span<const std::uint8_t, N> span() const noexcept {
        return std::span<const std::uint8_t, N>(bytes_);
    }
    void wipe() noexcept { secure_wipe(bytes_, N); }
    bool operator==(const SecretArray& other) const noexcept = default;

private:
    std::uint8_t bytes_[N] = {};
};

bool is_all_zero(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace velnaro
