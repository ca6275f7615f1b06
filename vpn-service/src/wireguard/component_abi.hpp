#pragma once

#include <cstdint>

// The six entry points (and one optional seventh) of the WireGuard components, with the signatures of the Windows
// libraries. Text is zero-terminated UTF-16 on both systems; a 32-bit non-zero value means
// success, except for the tunnel service, which returns a one-byte boolean: only the low byte
// of the return register is defined then, and the rest may hold anything. Key generation
// returns nothing, as the Windows export does: a failure shows as keys left all zero. On
// x86-64 the Windows calling convention needs no annotation.
extern "C" {
using WireGuardAdapterHandle = void*;

using WireGuardGenerateKeypairFn = void (*)(std::uint8_t* public_key, std::uint8_t* private_key);
using WireGuardTunnelServiceFn = bool (*)(const char16_t* config_path);
using WireGuardOpenAdapterFn = WireGuardAdapterHandle (*)(const char16_t* name);
using WireGuardCloseAdapterFn = void (*)(WireGuardAdapterHandle adapter);
using WireGuardGetAdapterStateFn = std::uint32_t (*)(WireGuardAdapterHandle adapter,
                                                     std::uint32_t* state);
using WireGuardGetConfigurationFn = std::uint32_t (*)(WireGuardAdapterHandle adapter,
                                                      void* configuration,
                                                      std::uint32_t* bytes);
// Optional: a library without it loads all the same, and the tunnel then keeps the endpoint
// address it started with. Takes a block in the layout above; fields whose flag is clear are
// left as they are.
using WireGuardSetConfigurationFn = std::uint32_t (*)(WireGuardAdapterHandle adapter,
                                                      const void* configuration,
                                                      std::uint32_t bytes);
}
