#include <optional>
#include <string>

#include "identity/identity_lifecycle.hpp"
#include "platform/log.hpp"
#include "platform/paths.hpp"
#include "protected_storage/secret_file.hpp"
#include "tunnel_config/config_file.hpp"

namespace velnaro {
namespace {

// The text after the last "."; a name whose only "." leads it (".conf") has none.
std::optional<std::string_view> extension_of(std::string_view name) {
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return std::nullopt;
    return name.substr(dot + 1);
}

// The clean-up carries on without the listing, so this is where its failure ends.
void log_listing_failure(platform::Platform& platform, const OsError& error) {
    platform::write_failure(platform.log, platform::LogPriority::warning,
                            DetailCode::TUNNEL_CONFIG_READ_FAILED,
                            "listing the data directory failed: " + error.operation, error);
}

}  // namespace

Outcome<bool> find_plaintext_config(platform::Platform& platform, std::string_view directory) {
    const auto names = platform.files.list_directory(directory);
    if (!names)
        return fail(DetailCode::TUNNEL_CONFIG_READ_FAILED, std::move(names.error()));
    // Only the extension is judged: a clear-text configuration whose stem is not valid
    // text is still a clear-text configuration left on disk.
    for (const auto& name : *names) {
        if (extension_of(name) == "conf")
            return true;
    }
    return false;
}

std::size_t remove_leftover_temporary_files(platform::Platform& platform,
                                            std::string_view data_directory) {
    const auto names = platform.files.list_directory(data_directory);
    if (!names) {
        log_listing_failure(platform, names.error());
        return 0;
    }
    std::size_t removed = 0;
    for (const auto& name : *names) {
        // Only names this service makes: whatever else lies there is not its to remove.
        if (!is_config_temporary_name(name) && !is_identity_temporary_name(name))
            continue;
        if (auto deleted = platform.files.delete_file(join_path(data_directory, name)); !deleted) {
            platform::write_failure(
                platform.log, platform::LogPriority::warning, std::nullopt,
                "removing a temporary file failed: " + deleted.error().operation, deleted.error());
            continue;
        }
        ++removed;
    }
    return removed;
}

}  // namespace velnaro
