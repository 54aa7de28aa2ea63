// The registry and file routines run only at PASSIVE_LEVEL on the platform.
#pragma once

namespace veltocam::host {

// Reports a contract violation naming `routine` and returns false when the
// calling thread is above PASSIVE_LEVEL.
bool RequirePassiveLevel(const char* routine);

}  // namespace veltocam::host
