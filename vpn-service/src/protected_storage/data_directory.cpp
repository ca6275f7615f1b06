#include "protected_storage/data_directory.hpp"

#include "core/paths.hpp"
#include "core/utf.hpp"

namespace velnaro {
namespace {

// Where PROGRAMDATA points when the variable is missing. Windows always sets it for
// services, so its absence there is an error; Linux has no such variable by default.
std::optional<std::string> program_data_fallback() {
#ifdef _WIN32
    return std::nullopt;
#else
    return std::string("/var/lib");
#endif
}

// Makes sure one level exists and is a directory the service alone controls, before anything
// is created in it or read from it. A link is refused rather than followed, so the secrets
// never end up wherever it points; a level another account owns or may write to is refused
// rather than taken over, because that account may already hold files or open descriptors
// inside it that a change of owner would not take away.
Status claim_level(platform::FileSystem& files, const std::string& level) {
    using platform::DirectoryTrust;
    DirectoryTrust trust = files.directory_trust(level);
    if (trust == DirectoryTrust::missing) {
        if (!files.create_directories(level))
            return fail(DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED);
        trust = files.directory_trust(level);
    }
    switch (trust) {
        case DirectoryTrust::trusted:
            return {};
        case DirectoryTrust::missing:
        case DirectoryTrust::not_a_directory:
            return fail(DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED);
        case DirectoryTrust::link:
        case DirectoryTrust::untrusted:
        case DirectoryTrust::unknown:
            break;
    }
    return fail(DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE);
}

}  // namespace

Result<std::string> data_directory_path(platform::Platform& platform) {
    auto program_data = platform.system.environment_variable("PROGRAMDATA");
    if (!program_data || program_data->empty())
        program_data = program_data_fallback();
    if (!program_data)
        return fail(DetailCode::PROGRAMDATA_UNAVAILABLE);
    // A relative value would put the secrets wherever the process happens to be started.
    if (!is_absolute_path(*program_data))
        return fail(DetailCode::PROGRAMDATA_UNAVAILABLE);
    return join_path(join_path(*program_data, "Velnaro"), "vpn");
}

Result<std::string> resolve_data_directory(platform::Platform& platform) {
    const auto path = data_directory_path(platform);
    if (!path)
        return fail(path.error());
    // The parent first: a link or a foreign directory there would carry the creation of the
    // data directory itself somewhere else.
    const auto parent = parent_directory(*path);
    if (!parent)
        return fail(DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE);
    for (const std::string& level : {*parent, *path}) {
        if (auto claimed = claim_level(platform.files, level); !claimed)
            return fail(claimed.error());
    }
    auto canonical = platform.files.canonical_directory(*path);
    if (!canonical)
        return fail(DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE);
    return std::move(*canonical);
}

Status secure_path(platform::Platform& platform, std::string_view path) {
    if (!is_absolute_path(path) || !to_platform_text(path)) {
        return fail(DetailCode::SECURE_PATH_INVALID);
    }
    if (platform.files.path_kind(path) == platform::PathKind::missing) {
        return fail(DetailCode::SECURE_PATH_INVALID);
    }
    switch (platform.files.restrict_access(path)) {
        case platform::AccessResult::ok:
            return {};
        case platform::AccessResult::descriptor_invalid:
            return fail(DetailCode::SECURITY_DESCRIPTOR_INVALID);
        case platform::AccessResult::failed:
            break;
    }
    return fail(DetailCode::SECURE_PATH_ACL_FAILED);
}

}  // namespace velnaro
