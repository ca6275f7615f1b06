#include "identity/identity_keeper.hpp"

#include <utility>

#include "identity/identity_lifecycle.hpp"

namespace velnaro {

IdentityKeeper::IdentityKeeper(std::string data_directory)
    : data_directory_(std::move(data_directory)) {}

Outcome<DeviceIdentity> IdentityKeeper::ensure(Runtime& runtime) {
    std::lock_guard held(files_);
    return ensure_identity(runtime, data_directory_);
}

Outcome<DeviceIdentity> IdentityKeeper::prepare_rotation(Runtime& runtime) {
    std::lock_guard held(files_);
    return velnaro::prepare_rotation(runtime, data_directory_);
}

Outcome<void> IdentityKeeper::commit_rotation(Runtime& runtime) {
    std::lock_guard held(files_);
    return velnaro::commit_rotation(runtime, data_directory_);
}

Outcome<void> IdentityKeeper::abort_rotation(Runtime& runtime) {
    std::lock_guard held(files_);
    return velnaro::abort_rotation(runtime, data_directory_);
}

}  // namespace velnaro
