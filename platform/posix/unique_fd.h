// One owner for a POSIX file descriptor: closed once, movable, never copied.
#pragma once

#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

namespace druvo {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// One owner for a stdio stream.
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// One owner for getaddrinfo's answer.
struct AddressListFreer {
  void operator()(addrinfo* a) const { freeaddrinfo(a); }
};
using UniqueAddressList = std::unique_ptr<addrinfo, AddressListFreer>;

}  // namespace druvo
