#include "protected_storage/data_directory.hpp"
#include "protected_storage/dpapi.hpp"

// Not built yet.
namespace velnaro {

Result<std::vector<std::uint8_t>> dpapi_protect(platform::Platform&, std::span<const std::uint8_t>,
                                                std::string_view) {
    return fail(DetailCode::DPAPI_PROTECT_FAILED);
}
Result<SecretBuffer> dpapi_unprotect(platform::Platform&, std::span<const std::uint8_t>,
                                     std::string_view) {
    return fail(DetailCode::DPAPI_UNPROTECT_FAILED);
}
Status dpapi_self_test(platform::Platform&) { return fail(DetailCode::DPAPI_PROTECT_FAILED); }
Result<std::string> resolve_data_directory(platform::Platform&) {
    return fail(DetailCode::PROGRAMDATA_UNAVAILABLE);
}
Status secure_path(platform::Platform&, std::string_view) {
    return fail(DetailCode::SECURE_PATH_INVALID);
}

}  // namespace velnaro
