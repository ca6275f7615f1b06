#include "self_test/identity_self_tests.hpp"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>
#include <string_view>

#include "core/base64.hpp"
#include "identity/identity_file.hpp"
#include "identity/identity_lifecycle.hpp"
#include "identity/identity_payload.hpp"
#include "platform/paths.hpp"
#include "protected_storage/data_directory.hpp"
#include "protected_storage/sealed_blob.hpp"
#include "self_test/self_test_json.hpp"
#include "wireguard/keys.hpp"
#include "wireguard/tunnel_service_mode.hpp"

namespace velnaro {
namespace {

// Everything the self-test could create or must never destroy in the data directory.
constexpr std::array<std::string_view, 4> kGuardedFiles = {
    kIdentityFileName, kPendingIdentityFileName, kMetadataFileName, kTunnelConfigFileName};

// What the data directory held before the run. The self-test shares the directory with the
// service, and an identity it makes is sealed under the account of whoever runs it, which
// the service (local system) could never open. So the run removes exactly what it added:
// each guarded file that was absent before, and the directory (and its "Velnaro" parent)
// when the run created it and nothing else was put there meanwhile. Files that were there
// before stay untouched (ensure only rewrites metadata.json to match identity.dat, never
// the identity itself).
struct DirectoryBefore {
    bool directory_existed = false;
    bool parent_existed = false;
    std::array<bool, kGuardedFiles.size()> file_existed{};
};

bool exists(platform::Platform& platform, const std::string& path) {
    return platform.files.path_kind(path) != platform::PathKind::missing;
}

DirectoryBefore look_at(platform::Platform& platform, const std::string& directory) {
    DirectoryBefore before;
    before.directory_existed = exists(platform, directory);
    const auto parent = parent_directory(directory);
    before.parent_existed = !parent || exists(platform, *parent);
    for (std::size_t i = 0; i < kGuardedFiles.size(); ++i) {
        before.file_existed[i] = exists(platform, join_path(directory, kGuardedFiles[i]));
    }
    return before;
}

bool remove_if_empty(platform::Platform& platform, const std::string& directory) {
    const auto left = platform.files.list_directory(directory);
    return left && left->empty() && platform.files.remove_tree(directory);
}

// Errors are ignored: the clean-up never changes the outcome that is reported.
void remove_what_this_run_added(platform::Platform& platform, const std::string& directory,
                                const DirectoryBefore& before) {
    for (std::size_t i = 0; i < kGuardedFiles.size(); ++i) {
        const std::string path = join_path(directory, kGuardedFiles[i]);
        if (!before.file_existed[i] && exists(platform, path))
            platform.files.delete_file(path);
    }
    if (before.directory_existed || !remove_if_empty(platform, directory))
        return;
    const auto parent = parent_directory(directory);
    if (!before.parent_existed && parent)
        remove_if_empty(platform, *parent);
}

IdentitySelfTestResult failure(Failure reason) {
    return {false, false, std::nullopt, std::move(reason)};
}

IdentitySelfTestResult ensure_twice(Runtime& runtime, const std::string& directory) {
    const auto first = ensure_identity(runtime, directory);
    if (!first)
        return failure(first.error());
    const auto second = ensure_identity(runtime, directory);
    if (!second)
        return failure(second.error());
    if (!same_public_identity(*first, *second))
        return failure(Failure(DetailCode::IDENTITY_NOT_STABLE));
    return {true, true, first->key_version, std::nullopt};
}

}  // namespace

Outcome<void> identity_crypto_self_test(Runtime& runtime) {
    const auto created = new_device_identity(runtime);
    if (!created)
        return fail(created.error());
    const DeviceIdentity& built = *created;

    const auto payload = encode_identity_payload(built);
    if (!payload)
        return fail(payload.error());
    const auto blob = seal_secret(runtime.platform, *payload, kIdentityDescription);
    if (!blob)
        return fail(blob.error());
    const auto opened = open_sealed_secret(runtime.platform, *blob, kIdentityDescription);
    if (!opened)
        return fail(opened.error());
    const auto decoded = decode_identity_payload(*opened);
    if (!decoded)
        return fail(decoded.error());
    if (!same_public_identity(*decoded, built) || decoded->private_key != built.private_key) {
        return fail(DetailCode::IDENTITY_CRYPTO_ROUNDTRIP_FAILED);
    }
    return {};
}

IdentitySelfTestResult identity_self_test(Runtime& runtime) {
    platform::Platform& platform = runtime.platform;
    // Looked at before resolving, because resolving creates the directory.
    const auto configured = data_directory_path(platform);
    if (!configured)
        return failure(configured.error());
    const DirectoryBefore before = look_at(platform, *configured);

    const auto directory = resolve_data_directory(platform);
    if (!directory) {
        remove_what_this_run_added(platform, *configured, before);
        return failure(directory.error());
    }
    const IdentitySelfTestResult result = ensure_twice(runtime, *directory);
    remove_what_this_run_added(platform, *directory, before);
    return result;
}

std::optional<std::string> identity_self_test_json(const IdentitySelfTestResult& result) {
    return self_test_json([&](nlohmann::ordered_json& json) {
        json["success"] = result.success;
        json["stableAfterReload"] = result.stable_after_reload;
        json["keyVersion"] = result.key_version ? nlohmann::ordered_json(*result.key_version)
                                                : nlohmann::ordered_json(nullptr);
        json["detailCode"] = nullable_detail_code(result.failure);
    });
}

}  // namespace velnaro
