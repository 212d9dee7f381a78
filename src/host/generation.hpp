// The layout-generation rule over the module global `b3d_version`.
#pragma once

#include "host/layouts.hpp"

namespace norvik::host {

// Looks `b3d_version` up at this call: item 0 equal to 3 and item 1 greater
// than 0 choose the 3.1 to 3.x layouts; item 0 an int (or float) of 4 or
// more the 4.0-onward layouts; anything else the 2.93 to 3.0 ones.
// False with an exception set when the lookup, indexing or comparison fails.
bool choose_generation(Generation& out);

}  // namespace norvik::host
