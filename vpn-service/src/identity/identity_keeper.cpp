#include "identity/identity_keeper.hpp"

#include <utility>

#include "identity/identity_lifecycle.hpp"

namespace velnaro {

IdentityKeeper::IdentityKeeper(std::string data_directory)
    : data_directory_(std::move(data_directory)) {}

Outcome<DeviceIdentity> IdentityKeeper::ensure(Runtime& runtime) {
    std::lock_guard held(files_);
    return ensure_held(runtime);
}

Outcome<DeviceIdentity> IdentityKeeper::ensure_held(Runtime& runtime) {
    auto identity = forget_on_failure(ensure_identity(runtime, data_directory_));
    if (identity)
        publish(std::make_shared<const PublicIdentity>(public_identity_of(*identity)));
    return identity;
}

Outcome<DeviceIdentity> IdentityKeeper::prepare_rotation(Runtime& runtime) {
    std::lock_guard held(files_);
    return forget_on_failure(velnaro::prepare_rotation(runtime, data_directory_));
}

Outcome<void> IdentityKeeper::commit_rotation(Runtime& runtime) {
    std::lock_guard held(files_);
    auto committed = forget_on_failure(velnaro::commit_rotation(runtime, data_directory_));
    if (!committed)
        return fail(std::move(committed.error()));
    publish(std::make_shared<const PublicIdentity>(std::move(*committed)));
    return {};
}

Outcome<void> IdentityKeeper::abort_rotation(Runtime& runtime) {
    std::lock_guard held(files_);
    return forget_on_failure(velnaro::abort_rotation(runtime, data_directory_));
}

Outcome<PublicIdentity> IdentityKeeper::public_identity(Runtime& runtime) {
    std::unique_lock held(files_, std::try_to_lock);
    if (!held.owns_lock()) {
        if (const Published identity = published())
            return *identity;
        held.lock();
    }
    auto identity = ensure_held(runtime);
    if (!identity)
        return fail(std::move(identity.error()));
    return public_identity_of(*identity);
}

IdentityKeeper::Published IdentityKeeper::published() const {
    std::lock_guard held(publication_);
    return published_;
}

void IdentityKeeper::publish(Published identity) {
    std::lock_guard held(publication_);
    published_ = std::move(identity);
}

}  // namespace velnaro
