// The seam answered from Linux: hidraw nodes as the HID interfaces, USB
// devices and their ttys as the device nodes and COM ports, all found in sysfs.
#pragma once

#include "../Win.h"

#include <cstddef>

namespace lnx {

const win::Backend& backend();

// Handles open on this backend now (files, events, sets, keys, libraries).
std::size_t openHandles();

} // namespace lnx
