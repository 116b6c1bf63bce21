// One waiting file as the scan found it. The path is stored with its real
// length, so a record takes only the pool space its path needs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "spool/record_list.h"

namespace druvo {

// Longest path a record can carry, terminator included.
constexpr std::size_t kJobPathCapacity = 4096;

struct JobRecord {
  std::uint32_t writeTimeLow;
  std::int32_t writeTimeHigh;
  std::uint32_t sizeLow;
  std::uint32_t sizeHigh;
  char path[kJobPathCapacity];  // only the used part is stored in the list
};

constexpr std::size_t kJobRecordFixedSize = offsetof(JobRecord, path);

inline std::uint64_t JobWriteTime(const JobRecord& r) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(r.writeTimeHigh)) << 32) |
         r.writeTimeLow;
}
inline std::uint64_t JobSize(const JobRecord& r) {
  return (static_cast<std::uint64_t>(r.sizeHigh) << 32) | r.sizeLow;
}

// Appends a record for path; false when the path does not fit a record.
bool AppendJob(RecordList list, const char* prefix, const char* name, std::uint64_t writeTime,
               std::uint64_t size);

// Orders the records by write time, oldest first; equal times keep scan order.
void SortJobsByWriteTime(RecordList list);

}  // namespace druvo
