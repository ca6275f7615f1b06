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
    if (!platform.files.create_directories(*path)) {
        return fail(DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED);
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
