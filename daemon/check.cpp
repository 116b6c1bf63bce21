#include "daemon/check.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/text_helpers.h"
#include "daemon/spool_daemon.h"

namespace druvo {

namespace {

std::string ModeAndGroup(const struct stat& st) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  const group* g = getgrgid(st.st_gid);
  return std::string("mode ") + mode + ", group " +
         (g != nullptr ? std::string(g->gr_name) : std::to_string(st.st_gid));
}

}  // namespace

int RunCheck(const SpoolSettings& settings, const PrinterAddress& address) {
  int errors = 0;
  const auto say = [&errors](const char* kind, const std::string& text) {
    if (std::strcmp(kind, "error") == 0) ++errors;
    std::printf("%s: %s\n", kind, text.c_str());
  };
  const bool queue = address.kind == PrinterAddress::Kind::Queue;
  const std::unique_ptr<TrackingSpooler> printer = MakeSpooler(address, 10);
  const OpResult r = printer->OpenQueue(settings.printerName);
  printer->CloseQueue();
  if (r) {
    say("ok", (queue ? "queue " : "printer ") + std::string(settings.printerName) +
                  (queue ? "" : " answers"));
  } else if (queue && r.error.find("has no queue") != std::string::npos) {
    say("error", r.error + " (lpstat -e lists the queues)");
  } else {
    say("warning",
        r.error + (queue ? "; druvo waits for it" : "; druvo keeps the files until it answers"));
  }
  const DropFolder drop = DropFolder::Of(settings.fileSource, '/');
  const std::string folder = drop.Folder();
  struct stat st;
  if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    say("error", "folder " + folder + " does not exist");
    return errors != 0 ? 1 : 0;
  }
  if (access(folder.c_str(), R_OK | W_OK | X_OK) != 0) {
    say("error", "folder " + folder + " is not readable and writable by this user (" +
                     ModeAndGroup(st) + "): make it group druvo, mode 2775");
  } else {
    say("ok", "folder " + folder);
  }
  PosixFileSystem files;
  std::size_t waiting = 0;
  files.Search(drop, [&](const DirEntry& entry) {
    if (entry.attributes != kAttrArchive) return;
    ++waiting;
    const std::string path = drop.PathOf(entry.name);
    struct stat file;
    if (access(path.c_str(), R_OK) == 0 || stat(path.c_str(), &file) != 0) return;
    say("error", QuotedForLog(path) + " cannot be read by this user (" + ModeAndGroup(file) +
                     "): make the folder group druvo, mode 2775; producer umask 007");
  });
  say("ok", std::to_string(waiting) + " file(s) waiting");
  if (const FolderLock::Result other = FolderLock().Probe(folder, drop.names);
      other.outcome == FolderLock::Outcome::Busy) {
    say("error", Refusal(other, folder, drop.names));
  }
  if (queue && settings.deleteAfterPrinted != 0) say("ok", kPrintedModeRule);
  if (address.confirm) say("ok", kConfirmRule);
  return errors != 0 ? 1 : 0;
}

}  // namespace druvo
