#include "wireguard/component_location.hpp"

#include "platform/paths.hpp"

namespace velnaro::wireguard {
namespace {

bool nobody_else_replaces(platform::FileSystem& files, std::string_view path,
                          platform::TrustedOwners owners) {
    const auto replaceable = files.replaceable_by_others(path, owners);
    return replaceable.has_value() && !*replaceable;
}

}  // namespace

bool location_is_safe(platform::Platform& platform, std::string_view executable,
                      std::optional<std::string_view> component_directory,
                      platform::TrustedOwners owners) {
    platform::FileSystem& files = platform.files;
    const auto safe = [&](std::string_view path) { return nobody_else_replaces(files, path, owners); };
    // The executable's own folder is asked about by itself as well: whoever may add files
    // there can plant a library that the executable's own imports find first.
    const auto executable_folder = parent_directory(executable);
    if (!executable_folder || !safe(*executable_folder) || !safe(executable))
        return false;
    if (!component_directory)
        return true;
    if (!safe(*component_directory))
        return false;
    // Every entry, not only the two libraries: their own dependencies are looked up beside them.
    const auto entries = files.list_directory(*component_directory);
    if (!entries)
        return false;
    for (const auto& entry : *entries) {
        if (!safe(join_path(*component_directory, entry)))
            return false;
    }
    return true;
}

}  // namespace velnaro::wireguard
