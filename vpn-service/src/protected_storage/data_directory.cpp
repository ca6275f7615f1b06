#include "protected_storage/data_directory.hpp"

#include "core/utf.hpp"
#include "protected_storage/secret_file.hpp"
#include "platform/conventions.hpp"
#include "platform/paths.hpp"

namespace velnaro {
namespace {

// The levels under PROGRAMDATA that belong to the service: "Velnaro" and "vpn".
constexpr std::size_t kOwnLevels = 2;

// A level that is missing or a file could not be created as a directory; anything else
// found on the way (a link, another account's directory, one others may write to, one that
// cannot be inspected) is refused rather than taken over, because that account may already
// hold files or open descriptors inside it that a change of owner would not take away.
DetailCode refusal_code(const platform::HoldFailure& failure) {
    using platform::DirectoryTrust;
    switch (failure.found) {
        case DirectoryTrust::missing:
        case DirectoryTrust::not_a_directory:
            return DetailCode::IDENTITY_DIRECTORY_CREATE_FAILED;
        case DirectoryTrust::trusted:
        case DirectoryTrust::link:
        case DirectoryTrust::untrusted:
        case DirectoryTrust::unknown:
            break;
    }
    return DetailCode::IDENTITY_DIRECTORY_UNAVAILABLE;
}

}  // namespace

Outcome<std::string> data_directory_path(platform::Platform& platform) {
    auto program_data = platform.system.environment_variable("PROGRAMDATA");
    if (!program_data || program_data->empty())
        program_data = platform::program_data_fallback();
    if (!program_data)
        return fail(DetailCode::PROGRAMDATA_UNAVAILABLE);
    // A relative value would put the secrets wherever the process happens to be started.
    if (!is_absolute_path(*program_data))
        return fail(DetailCode::PROGRAMDATA_UNAVAILABLE);
    return join_path(join_path(*program_data, "Velnaro"), "vpn");
}

Outcome<std::string> resolve_data_directory(platform::Platform& platform) {
    const auto path = data_directory_path(platform);
    if (!path)
        return fail(path.error());
    // Held from here on: the files inside are reached through the opened directory, so a
    // level swapped for a link after this check redirects nothing.
    auto held = platform.files.hold_directory(*path, kOwnLevels);
    if (!held)
        return fail(refusal_code(held.error()), held.error().error);
    return std::move(*held);
}

Outcome<void> secure_path(platform::Platform& platform, std::string_view path) {
    if (!is_absolute_path(path) || !to_platform_text(path)) {
        return fail(DetailCode::SECURE_PATH_INVALID);
    }
    if (platform.files.path_kind(path) == platform::PathKind::missing) {
        return fail(DetailCode::SECURE_PATH_INVALID);
    }
    auto restricted = platform.files.restrict_access(path);
    if (restricted)
        return {};
    const DetailCode code = restricted.error().operation == platform::kBuildDescriptorOperation
                                ? DetailCode::SECURITY_DESCRIPTOR_INVALID
                                : DetailCode::SECURE_PATH_ACL_FAILED;
    return fail(code, restricted.error());
}

}  // namespace velnaro
