// Milliseconds of a clock that only goes forward, for waits and their
// bounds. Each platform implements it once: libstdc++'s steady_clock is the
// wall clock on the Windows targets, and a change of the time would move it.
#pragma once

namespace druvo {

long long SteadyMs();

}  // namespace druvo
