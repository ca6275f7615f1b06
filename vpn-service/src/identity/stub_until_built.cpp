#include "identity/identity_file.hpp"
#include "identity/identity_lifecycle.hpp"

// Not built yet.
namespace velnaro {

Result<DeviceIdentity> ensure_identity(Runtime&, std::string_view) {
    return fail(DetailCode::IDENTITY_STORAGE_UNAVAILABLE);
}
Result<DeviceIdentity> prepare_rotation(Runtime&, std::string_view) {
    return fail(DetailCode::IDENTITY_STORAGE_UNAVAILABLE);
}
Status commit_rotation(Runtime&, std::string_view) {
    return fail(DetailCode::IDENTITY_STORAGE_UNAVAILABLE);
}
Status abort_rotation(Runtime&, std::string_view) {
    return fail(DetailCode::IDENTITY_STORAGE_UNAVAILABLE);
}
Result<DeviceIdentity> read_identity_file(platform::Platform&, std::string_view) {
    return fail(DetailCode::IDENTITY_READ_FAILED);
}

}  // namespace velnaro
