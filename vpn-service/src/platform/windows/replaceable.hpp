#pragma once

#include <windows.h>

#include "platform/file_system.hpp"

namespace velnaro::platform {

// Whether the owner or the access list of `descriptor` lets an account outside `owners`
// replace the object: for the object that is asked about (`named_object`) also by writing it or adding
// entries to it, for a folder above it only by deleting, renaming or taking it over.
OsResult<bool> descriptor_lets_others_replace(PSECURITY_DESCRIPTOR descriptor, bool named_object,
                                              TrustedOwners owners);

}  // namespace velnaro::platform
