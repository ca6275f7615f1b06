#pragma once

#include <string>
#include <vector>

#include "platform/sealing.hpp"

namespace velnaro::platform {

// Where the sealing key of the account comes from. The defaults are fixed on purpose: no
// environment variable may point a root service at a key someone else planted.
struct SealingKeyLocation {
    // Directory of the account's key file; empty means the account's own default
    // (root: /var/lib/velnaro-keys, others: $XDG_DATA_HOME/velnaro or ~/.local/share/velnaro).
    std::string key_directory;
    // Files naming this machine, the first readable one wins.
    std::vector<std::string> machine_id_files = {"/etc/machine-id", "/var/lib/dbus/machine-id"};
};

// XChaCha20-Poly1305 envelope under a key bound to the account and the machine.
class PosixSealing final : public Sealing {
  public:
    explicit PosixSealing(SealingKeyLocation location = {});

    OsResult<std::vector<std::uint8_t>> protect(std::span<const std::uint8_t> secret,
                                                std::u16string_view description) override;
    OsResult<OpenedBlob> unprotect(std::span<const std::uint8_t> blob) override;

  private:
    SealingKeyLocation location_;
};

}  // namespace velnaro::platform
