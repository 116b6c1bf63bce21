// What tells the file that was printed from one written over it: its bytes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "spool/ports.h"

namespace druvo {

namespace {

constexpr std::uint64_t kMultiplier = 0xFF51AFD7ED558CCDULL;

std::uint64_t Mix(std::uint64_t state, std::uint64_t word) {
  state ^= word;
  state *= kMultiplier;
  return state ^ (state >> 32);
}

}  // namespace

void ContentDigest::Add(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  length_ += size;
  // Whole words from here on; the bytes of an unfinished one wait.
  while (size > 0 && pendingBytes_ != 0) {
    pending_ |= static_cast<std::uint64_t>(*bytes++) << (8 * pendingBytes_);
    --size;
    if (++pendingBytes_ == 8) {
      state_ = Mix(state_, pending_);
      pending_ = 0;
      pendingBytes_ = 0;
    }
  }
  for (; size >= 8; size -= 8, bytes += 8) {
    std::uint64_t word = 0;
    for (unsigned i = 0; i < 8; ++i) word |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    state_ = Mix(state_, word);
  }
  for (; size > 0; --size)
    pending_ |= static_cast<std::uint64_t>(*bytes++) << (8 * pendingBytes_++);
}

std::uint64_t ContentDigest::Value() const {
  std::uint64_t v = Mix(Mix(state_, pending_), length_);
  v ^= v >> 33;
  v *= 0xC4CEB9FE1A85EC53ULL;
  v ^= v >> 33;
  return v != 0 ? v : 1;
}

bool DigestRest(InputFile& file, std::uint64_t* digest) {
  ContentDigest content;
  unsigned char buffer[16384];
  std::string error;
  for (;;) {
    const long long got = file.Read(buffer, sizeof buffer, &error);
    if (got < 0) return false;
    if (got == 0) break;
    content.Add(buffer, static_cast<std::size_t>(got));
  }
  *digest = content.Value();
  return true;
}

namespace {
constexpr char kClaimPrefix[] = ".druvo-claim.";
constexpr std::size_t kClaimPrefixLength = sizeof kClaimPrefix - 1;
}  // namespace

std::string ClaimName(const std::string& name, std::uint64_t digest) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest));
  return kClaimPrefix + std::string(hex) + "." + name;
}

bool ParseClaim(const std::string& claim, std::string* name, std::uint64_t* digest) {
  if (claim.compare(0, kClaimPrefixLength, kClaimPrefix) != 0 ||
      claim.size() < kClaimPrefixLength + 18 || claim[kClaimPrefixLength + 16] != '.')
    return false;
  *digest = std::strtoull(claim.substr(kClaimPrefixLength, 16).c_str(), nullptr, 16);
  *name = claim.substr(kClaimPrefixLength + 17);
  return true;
}

bool FileSystem::DigestOf(const char* path, std::uint64_t* digest) {
  std::unique_ptr<InputFile> file;
  std::string error;
  return Open(path, &file, &error) == OpenOutcome::Opened && DigestRest(*file, digest);
}

DeleteOutcome FileSystem::DeleteIfSame(const char* path, const FileIdentity& read,
                                       std::string* error) {
  FileIdentity now;
  bool gone = false;
  if (!Identify(path, &now, &gone)) return DeleteOutcome::Replaced;  // cannot tell: it stays
  if (gone) return DeleteOutcome::Gone;
  if (read.Known() && !now.SameFile(read)) return DeleteOutcome::Replaced;
  std::uint64_t digest = 0;
  if (read.content != 0 && (!DigestOf(path, &digest) || digest != read.content))
    return DeleteOutcome::Replaced;
  const OpResult deleted = Delete(path);
  if (deleted) return DeleteOutcome::Deleted;
  *error = deleted.error;
  return DeleteOutcome::Failed;
}

}  // namespace druvo
