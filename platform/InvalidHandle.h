// The handle value that the Windows calls returning file-system handles give
// on failure (all bits set), as opposed to the null of the event calls.
#pragma once

#include <cstdint>

#include "Sync.h"

namespace zr::os {

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

}  // namespace zr::os
