#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "core/result.hpp"
#include "identity/device_identity.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// The one way into a data directory's identity files within a process. Requests run on two
// threads (reads on the server thread, changes on the change worker), and every identity
// operation is a sequence of checks and writes: each runs whole under the keeper's lock, so
// that two of them never create the identity, or rewrite its metadata, at the same time.
class IdentityKeeper {
  public:
    explicit IdentityKeeper(std::string data_directory);
    IdentityKeeper(const IdentityKeeper&) = delete;
    IdentityKeeper& operator=(const IdentityKeeper&) = delete;

    const std::string& data_directory() const { return data_directory_; }

    Outcome<DeviceIdentity> ensure(Runtime& runtime);
    Outcome<DeviceIdentity> prepare_rotation(Runtime& runtime);
    Outcome<void> commit_rotation(Runtime& runtime);
    Outcome<void> abort_rotation(Runtime& runtime);

  private:
    const std::string data_directory_;
    std::mutex files_;
};

}  // namespace velnaro
