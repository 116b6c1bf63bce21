// A fresh random number from the platform, for what must differ from one
// run to the next (job uuids, a printer's process IDs). Each platform
// implements it once; the simulator gives its seed's own.
#pragma once

#include <cstdint>

namespace druvo {

std::uint64_t FreshSeed();

}  // namespace druvo
