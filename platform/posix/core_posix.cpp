#include <time.h>

#include <mutex>
#include <new>
#include <random>

#include "core/clock.h"
#include "core/entropy.h"
#include "core/reentrant_lock.h"

namespace druvo {

static_assert(sizeof(std::recursive_mutex) <= 64, "ReentrantLock storage too small");

namespace {
std::recursive_mutex* Mutex(unsigned char* storage) {
  return std::launder(reinterpret_cast<std::recursive_mutex*>(storage));
}
}  // namespace

ReentrantLock::ReentrantLock() { new (storage_) std::recursive_mutex; }
ReentrantLock::~ReentrantLock() { Mutex(storage_)->~recursive_mutex(); }
void ReentrantLock::lock() { Mutex(storage_)->lock(); }
void ReentrantLock::unlock() { Mutex(storage_)->unlock(); }

long long SteadyMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::uint64_t FreshSeed() {
  std::random_device device;
  return (static_cast<std::uint64_t>(device()) << 32) ^ device() ^
         static_cast<std::uint64_t>(SteadyMs());
}

}  // namespace druvo
