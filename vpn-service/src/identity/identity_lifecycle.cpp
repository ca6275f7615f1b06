#include "identity/identity_lifecycle.hpp"

#include <limits>
#include <string>

#include "core/base64.hpp"
#include "identity/identity_file.hpp"
#include "identity/identity_payload.hpp"
#include "identity/metadata.hpp"
#include "platform/paths.hpp"
#include "protected_storage/data_directory.hpp"
#include "protected_storage/secret_file.hpp"
#include "wireguard/keys.hpp"

namespace velnaro {
namespace {

struct IdentityPaths {
    std::string identity;
    std::string pending;
    std::string metadata;
};

IdentityPaths paths_in(std::string_view data_directory) {
    return {join_path(data_directory, kIdentityFileName),
            join_path(data_directory, kPendingIdentityFileName),
            join_path(data_directory, kMetadataFileName)};
}

bool exists(Runtime& runtime, const std::string& path) {
    return runtime.platform.files.path_kind(path) != platform::PathKind::missing;
}

Outcome<KeyPair> new_keypair(Runtime& runtime) {
    const auto directory = resolve_component_directory(runtime.platform);
    if (!directory)
        return fail(directory.error());
    return generate_keypair(runtime, *directory);
}

// Gives the identity the key pair's keys; the caller's copy of the private key is wiped
// when the key pair goes out of scope.
void take_keys(DeviceIdentity& identity, const KeyPair& keys) {
    identity.public_key = encode_base64(keys.public_key);
    identity.private_key = keys.private_key;
}

// Rewrites metadata.json when it is missing or disagrees with the identity, which is
// authoritative; an unreadable metadata.json is reported, never overwritten.
Outcome<void> reconcile_metadata(Runtime& runtime, const IdentityPaths& paths,
                          const DeviceIdentity& identity) {
    const PublicIdentity expected = public_identity_of(identity);
    if (!exists(runtime, paths.metadata)) {
        return write_metadata(runtime.platform, paths.metadata, expected);
    }
    const auto stored = read_metadata(runtime.platform, paths.metadata);
    if (!stored)
        return fail(stored.error());
    if (*stored == expected)
        return {};
    return write_metadata(runtime.platform, paths.metadata, expected);
}

Outcome<void> secure_if_present(Runtime& runtime, const std::string& path) {
    if (!exists(runtime, path))
        return {};
    return secure_path(runtime.platform, path);
}

}  // namespace

bool is_identity_temporary_name(std::string_view name) {
    return is_temporary_sibling(name, kIdentityFileName) ||
           is_temporary_sibling(name, kPendingIdentityFileName) ||
           is_temporary_sibling(name, kMetadataFileName);
}

Outcome<DeviceIdentity> ensure_identity(Runtime& runtime, std::string_view data_directory) {
    if (auto created = runtime.platform.files.create_directories(data_directory); !created)
        return fail(DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED, created.error());
    if (auto secured = secure_path(runtime.platform, data_directory); !secured) {
        return fail(secured.error());
    }
    const IdentityPaths paths = paths_in(data_directory);
    if (auto secured = secure_if_present(runtime, paths.identity); !secured) {
        return fail(secured.error());
    }
    if (auto secured = secure_if_present(runtime, paths.metadata); !secured) {
        return fail(secured.error());
    }

    if (!exists(runtime, paths.identity)) {
        // Metadata without its identity means the identity was lost; making a new one would
        // silently change the device's key and installation ID.
        if (exists(runtime, paths.metadata))
            return fail(DetailCode::LOCAL_IDENTITY_LOST);
        return create_identity(runtime, data_directory);
    }
    auto identity = read_identity_file(runtime.platform, paths.identity);
    if (!identity)
        return fail(identity.error());
    if (auto reconciled = reconcile_metadata(runtime, paths, *identity); !reconciled) {
        return fail(reconciled.error());
    }
    return identity;
}

Outcome<DeviceIdentity> new_device_identity(Runtime& runtime) {
    const auto keys = new_keypair(runtime);
    if (!keys)
        return fail(keys.error());
    auto installation_id = random_uuid(runtime.platform);
    if (!installation_id)
        return fail(DetailCode::KEY_GENERATION_FAILED, std::move(installation_id.error()));
    DeviceIdentity identity;
    identity.installation_id = *installation_id;
    identity.key_version = 1;
    take_keys(identity, *keys);
    return identity;
}

Outcome<DeviceIdentity> create_identity(Runtime& runtime, std::string_view data_directory) {
    auto created = new_device_identity(runtime);
    if (!created)
        return fail(created.error());
    const DeviceIdentity& identity = *created;

    const IdentityPaths paths = paths_in(data_directory);
    if (auto written = write_identity_file(runtime.platform, paths.identity, identity); !written) {
        return fail(written.error());
    }
    if (auto written =
            write_metadata(runtime.platform, paths.metadata, public_identity_of(identity));
        !written) {
        return fail(written.error());
    }
    if (auto secured = secure_path(runtime.platform, paths.identity); !secured) {
        return fail(secured.error());
    }
    if (auto secured = secure_path(runtime.platform, paths.metadata); !secured) {
        return fail(secured.error());
    }
    return identity;
}

Outcome<DeviceIdentity> prepare_rotation(Runtime& runtime, std::string_view data_directory) {
    const IdentityPaths paths = paths_in(data_directory);
    const auto current = read_identity_file(runtime.platform, paths.identity);
    if (!current)
        return fail(current.error());

    if (exists(runtime, paths.pending)) {
        // A repeated prepare hands back the same pending key pair, so a client that lost the
        // first answer can still learn which key it must announce.
        if (auto secured = secure_path(runtime.platform, paths.pending); !secured) {
            return fail(secured.error());
        }
        auto pending = read_identity_file(runtime.platform, paths.pending);
        if (!pending)
            return fail(pending.error());
        if (!is_valid_successor(*current, *pending)) {
            return fail(DetailCode::IDENTITY_ROTATION_INVALID);
        }
        return pending;
    }

    const auto keys = new_keypair(runtime);
    if (!keys)
        return fail(keys.error());
    if (current->key_version == std::numeric_limits<std::uint32_t>::max()) {
        return fail(DetailCode::IDENTITY_KEY_VERSION_EXHAUSTED);
    }
    DeviceIdentity pending;
    pending.installation_id = current->installation_id;
    pending.key_version = current->key_version + 1;
    take_keys(pending, *keys);
    if (auto written = write_identity_file(runtime.platform, paths.pending, pending); !written) {
        return fail(written.error());
    }
    if (auto secured = secure_path(runtime.platform, paths.pending); !secured) {
        return fail(secured.error());
    }
    return pending;
}

Outcome<PublicIdentity> commit_rotation(Runtime& runtime, std::string_view data_directory) {
    const IdentityPaths paths = paths_in(data_directory);
    const auto current = read_identity_file(runtime.platform, paths.identity);
    if (!current)
        return fail(current.error());
    if (runtime.platform.files.path_kind(paths.pending) != platform::PathKind::regular_file) {
        return fail(DetailCode::IDENTITY_ROTATION_NOT_PREPARED);
    }
    const auto pending = read_identity_file(runtime.platform, paths.pending);
    if (!pending)
        return fail(pending.error());
    if (!is_valid_successor(*current, *pending)) {
        return fail(DetailCode::IDENTITY_ROTATION_INVALID);
    }
    if (auto moved = runtime.platform.files.move_file(paths.pending, paths.identity,
                                                      platform::MoveMode::replace_write_through);
        !moved) {
        return fail(DetailCode::IDENTITY_ROTATION_COMMIT_FAILED, moved.error());
    }
    if (auto secured = secure_path(runtime.platform, paths.identity); !secured) {
        return fail(secured.error());
    }
    PublicIdentity committed = public_identity_of(*pending);
    if (auto written = write_metadata(runtime.platform, paths.metadata, committed); !written) {
        return fail(written.error());
    }
    if (auto secured = secure_path(runtime.platform, paths.metadata); !secured) {
        return fail(secured.error());
    }
    return committed;
}

Outcome<void> abort_rotation(Runtime& runtime, std::string_view data_directory) {
    const std::string pending = paths_in(data_directory).pending;
    if (!exists(runtime, pending))
        return {};
    if (auto deleted = runtime.platform.files.delete_file(pending); !deleted)
        return fail(DetailCode::IDENTITY_ROTATION_ABORT_FAILED, deleted.error());
    return {};
}

}  // namespace velnaro
