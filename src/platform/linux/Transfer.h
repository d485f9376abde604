// Transfers on the Linux backend's device files. Every descriptor is
// non-blocking; a transfer is driven forward with poll() up to a deadline.
//
// The model on the station's one thread: a ReadFile or WriteFile with an
// OVERLAPPED record tries once and, when it cannot finish, records the request
// on the file; WaitForSingleObject on the record's event, or
// GetOverlappedResult, then drives it up to their time-out. CancelIo ends it
// with ERROR_OPERATION_ABORTED. A device that goes away ends it with
// ERROR_DEVICE_NOT_CONNECTED, never as a time-out.
#pragma once

#include "Objects.h"

namespace lnx {

// Drives the file's pending request until it ends or until waitDeadline
// (milliseconds of nowMs(), or kNever). True when it ended: its status and
// count are then in its OVERLAPPED record and its event is signalled.
bool progress(File& file, std::uint64_t waitDeadline);

// Ends the pending request with this status (0 for success).
void finish(File& file, DWORD status);

} // namespace lnx
