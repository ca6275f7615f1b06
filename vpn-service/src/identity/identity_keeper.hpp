#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "identity/device_identity.hpp"
#include "wireguard/runtime.hpp"

namespace velnaro {

// The one way into a data directory's identity files within a process. Requests run on two
// threads (reads on the server thread, changes on the change worker), and every identity
// operation is a sequence of checks and writes: each runs whole under the keeper's lock, so
// that two of them never create the identity, or rewrite its metadata, at the same time.
//
// A read must not wait for a change's writes and flushes: the server thread answers nothing
// else meanwhile. So the keeper also publishes the public identity in force, under the lock,
// at the end of each operation that learns it; readers take that copy without the lock.
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

    // GET_PUBLIC_IDENTITY: an ensure, as ENSURE_IDENTITY's, when no other operation holds the
    // files; while one does, the identity it found in force. Only when none is known yet (no
    // operation has succeeded since the process began, or the last one failed) does the read
    // wait for the files: what it answers then is what the running operation leaves.
    Outcome<PublicIdentity> public_identity(Runtime& runtime);

  private:
    using Published = std::shared_ptr<const PublicIdentity>;
    Published published() const;
    // Called with the files held.
    void publish(Published identity);
    // A failed operation leaves files the keeper no longer knows: nothing stays published.
    template <typename Value>
    Outcome<Value> forget_on_failure(Outcome<Value> outcome) {
        if (!outcome)
            publish(nullptr);
        return outcome;
    }
    Outcome<DeviceIdentity> ensure_held(Runtime& runtime);

    const std::string data_directory_;
    std::mutex files_;
    // Held only to copy or replace the pointer, never while the files are read or written.
    mutable std::mutex publication_;
    Published published_;
};

}  // namespace velnaro
