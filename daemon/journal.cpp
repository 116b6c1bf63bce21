#include "daemon/journal.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/posix/unique_fd.h"

namespace druvo {

bool StderrIsJournal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat st;
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           fstat(2, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
  }();
  return journal;
}

const char* JournalPrefix(LogLevel level) {
  return level == LogLevel::Error ? "<3>" : level == LogLevel::Warning ? "<4>" : "<6>";
}

void LogLine(LogLevel level, const std::string& line) {
  if (StderrIsJournal()) {
    std::fprintf(stderr, "%s%s\n", JournalPrefix(level), line.c_str());
    std::fflush(stderr);
    return;
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(stderr, "%s.%03ld druvo: %s\n", stamp, now.tv_nsec / 1000000, line.c_str());
  std::fflush(stderr);
}

namespace {

// One FIELD=value line; a value is kept to one line.
void Field(std::string& entry, const char* name, const std::string& value) {
  entry.append(name).push_back('=');
  for (const char c : value) entry.push_back(c == '\n' ? ' ' : c);
  entry.push_back('\n');
}

}  // namespace

void SendEvent(const Event& event, const std::string& folder, const char* socketPath) {
  const EventType& type = TypeOf(event.kind);
  std::string entry;
  Field(entry, "MESSAGE", event.text);
  Field(entry, "MESSAGE_ID", type.messageId);
  Field(entry, "PRIORITY", std::string(1, JournalPrefix(type.level)[1]));
  Field(entry, "SYSLOG_IDENTIFIER", "druvo");
  Field(entry, "DRUVO_EVENT", type.name);
  Field(entry, "DRUVO_FOLDER", folder);
  sockaddr_un to{};
  to.sun_family = AF_UNIX;
  if (std::strlen(socketPath) >= sizeof to.sun_path) return;
  std::strcpy(to.sun_path, socketPath);
  const UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return;
  // No journald: the log line is all there is.
  (void)!sendto(fd.get(), entry.data(), entry.size(), MSG_NOSIGNAL,
                reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

}  // namespace druvo
