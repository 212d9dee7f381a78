// numpy compatibility checks made at start-up.
#pragma once

namespace norvik {

// Checks `type` and numpy's types against the sizes this build was compiled
// with (for the running numpy's major version), and records numpy.ndarray.
// False with an exception set.
bool check_numpy_types();

// Binds numpy's C-API table as a compatibility gate: ABI 1.x or 2.x, at
// least the build's target feature level (numpy 1.23, or the oldest numpy
// for this interpreter where newer), and little-endian. Any failure becomes ImportError "numpy.core.multiarray
// failed to import" with the original error as its context.
bool bind_numpy_api();

}  // namespace norvik
