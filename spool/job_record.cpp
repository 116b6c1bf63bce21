#include "spool/job_record.h"

#include <cstring>

namespace druvo {

bool AppendJob(RecordList list, const char* prefix, const char* name, std::uint64_t writeTime,
               std::uint64_t size) {
  const std::size_t prefixLength = std::strlen(prefix);
  const std::size_t nameLength = std::strlen(name);
  if (prefixLength + nameLength + 1 > kJobPathCapacity) return false;
  JobRecord record;
  record.writeTimeLow = static_cast<std::uint32_t>(writeTime);
  record.writeTimeHigh = static_cast<std::int32_t>(static_cast<std::uint32_t>(writeTime >> 32));
  record.sizeLow = static_cast<std::uint32_t>(size);
  record.sizeHigh = static_cast<std::uint32_t>(size >> 32);
  std::memcpy(record.path, prefix, prefixLength);
  std::memcpy(record.path + prefixLength, name, nameLength);
  record.path[prefixLength + nameLength] = '\0';
  ListAppend(list, &record, kJobRecordFixedSize + prefixLength + nameLength + 1);
  return true;
}

namespace {

bool EarlierWrite(const void* a, const void* b) {
  const auto* ra = static_cast<const JobRecord*>(a);
  const auto* rb = static_cast<const JobRecord*>(b);
  // High halves compare signed, low halves unsigned.
  if (ra->writeTimeHigh != rb->writeTimeHigh) return ra->writeTimeHigh < rb->writeTimeHigh;
  return ra->writeTimeLow < rb->writeTimeLow;
}

}  // namespace

void SortJobsByWriteTime(RecordList list) { ListSortStable(list, EarlierWrite); }

}  // namespace druvo
