// numpy compatibility checks made at start-up.
#pragma once

namespace norvik {

// Checks `type` and numpy's types against the sizes this build was compiled
// with, and records numpy.ndarray. False with an exception set.
bool check_numpy_types();

// Binds numpy's C-API table as a compatibility gate: ABI 1.x, at least the
// feature level of the oldest numpy 1.x release for this interpreter, and
// little-endian. Any failure becomes ImportError "numpy.core.multiarray
// failed to import" with the original error as its context.
bool bind_numpy_api();

}  // namespace norvik
