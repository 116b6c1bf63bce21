#include <windows.h>

#include <new>
#include <random>

#include "core/clock.h"
#include "core/entropy.h"
#include "core/reentrant_lock.h"

namespace druvo {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "ReentrantLock storage too small");

namespace {
CRITICAL_SECTION* Section(unsigned char* storage) {
  return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}
}  // namespace

ReentrantLock::ReentrantLock() { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }
ReentrantLock::~ReentrantLock() { DeleteCriticalSection(Section(storage_)); }
void ReentrantLock::lock() { EnterCriticalSection(Section(storage_)); }
void ReentrantLock::unlock() { LeaveCriticalSection(Section(storage_)); }

// The performance counter: on XP already, 64 bits wide, never set back.
long long SteadyMs() {
  static const LONGLONG frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart / frequency * 1000 + now.QuadPart % frequency * 1000 / frequency;
}

std::uint64_t FreshSeed() {
  std::random_device device;
  return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
         static_cast<std::uint64_t>(SteadyMs());
}

}  // namespace druvo
