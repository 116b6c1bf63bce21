// A lock the owning thread may take again. Each platform implements it once:
// a critical section on Windows (no post-XP import), std::recursive_mutex
// elsewhere.
#pragma once

namespace druvo {

class ReentrantLock {
 public:
  ReentrantLock();
  ~ReentrantLock();
  ReentrantLock(const ReentrantLock&) = delete;
  ReentrantLock& operator=(const ReentrantLock&) = delete;
  void lock();
  void unlock();

 private:
  // Room for a CRITICAL_SECTION (40 bytes on 64-bit Windows) or a
  // std::recursive_mutex, without their headers.
  alignas(8) unsigned char storage_[64];
};

}  // namespace druvo
