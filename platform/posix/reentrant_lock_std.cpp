#include <mutex>
#include <new>

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

}  // namespace druvo
