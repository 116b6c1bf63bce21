// The drop folder, the print spooler, the state file and the log file on
// Win32. Paths cross this boundary as UTF-8 and meet Windows as UTF-16, so
// a name in any language prints; the settings stay in the ANSI code page.
#pragma once

#include <string>
#include <vector>

#include "platform/win32/win32_handles.h"
#include "spool/events.h"
#include "spool/ports.h"

namespace druvo {

std::wstring WideFromUtf8(const std::string& text);
// Unpaired surrogates become U+FFFD; *lossless says whether it round-trips.
std::string Utf8FromWide(const wchar_t* text, bool* lossless = nullptr);
// For what only takes the ANSI code page (the tray's tooltip); lossy.
std::string AnsiFromUtf8(const std::string& text);

// A job path as the file functions take it: "\\?\" and the full folder.
std::wstring FilePath(const std::string& path);

// %LOCALAPPDATA%\Druvo (created when missing), or empty when there is none.
std::wstring DataFolder();

class Win32FileSystem : public FileSystem {
 public:
  OpResult Search(const DropFolder& where,
                  const std::function<void(const DirEntry&)>& visit) override;
  OpenOutcome Open(const char* path, std::unique_ptr<InputFile>* file, std::string* error) override;
  OpResult Delete(const char* path) override;
  OpResult Identify(const char* path, FileIdentity* identity, bool* gone) override;
  // Claims the file (a move that never replaces), checks it, then deletes
  // it or moves it back.
  DeleteOutcome DeleteIfSame(const char* path, const FileIdentity& read,
                             std::string* error) override;
  bool SettleClaims(const DropFolder& where, std::vector<std::string>* told) override;
  bool ClaimsLeft() const override { return stranded_; }
  // Files are opened through \\?\ paths, so MAX_PATH does not bound them;
  // a record does.
  std::size_t MaxPathLength() const override { return 4095; }
  char Separator() const override { return '\\'; }

 private:
  bool stranded_ = false;  // a claimed file could not be moved back yet
};

class Win32Spooler : public Spooler {
 public:
  OpResult OpenQueue(const char* name) override;
  OpResult BeginDocument(const char* documentName, const char* dataType) override;
  OpResult Write(const void* data, std::size_t size) override;
  OpResult EndDocument() override;
  void AbortDocument() override;
  void CloseQueue() override;

 private:
  UniquePrinter printer_;
};

// The folder's full long path in upper case: one spelling for every way of
// writing it.
std::wstring CanonicalFolder(const std::string& folder);

// Another druvo's pattern on the folder, and a name both patterns match.
struct FolderConflict {
  std::string pattern;
  std::string both;
  // "Druvo already serves the folder FOLDER with the pattern ...": why
  // this Druvo does not print there.
  std::string Why(const DropFolder& drop) const;
};

// Two druvos may share a drop folder when no file name can match both
// patterns: each registers its pattern on the folder for its life.
class FolderInstanceLock {
 public:
  // False when another druvo serves names of names (the pattern's name
  // part) in the folder; conflict says which. Taken again once the folder
  // exists, it adds the folder's identity.
  bool Take(const std::string& folder, const std::string& names, FolderConflict* conflict);

 private:
  std::vector<UniqueKernel> held_;
  std::vector<std::wstring> keys_;  // registered under
};

// FOLDER\NAME, one per drop folder, replaced whole through a flushed
// temporary file.
class Win32StateStore : public StateStore {
 public:
  Win32StateStore(std::wstring folder, std::wstring name)
      : folder_(std::move(folder)), name_(std::move(name)) {}
  OpResult Load(std::string* text) override;
  OpResult Save(const std::string& text) override;
  std::string Where() const override;

 private:
  std::wstring folder_;
  std::wstring name_;
};

// FOLDER\druvo.log, one line per event; at 1 MB it becomes druvo.log.1.
class Win32LogFile {
 public:
  static constexpr unsigned long kRotateBytes = 1024 * 1024;
  explicit Win32LogFile(std::wstring folder) : folder_(std::move(folder)) {}
  // False when the line could not be written (the caller shows it).
  bool Write(const std::string& line);
  std::string Where() const;

 private:
  std::wstring folder_;
};

std::uint64_t TicksFromFileTime(const FILETIME& ft);

// A record in the Windows Event Log, under the source "Druvo" (the setup
// registers it, with druvo.exe as its message file): the type, the ID as
// the message table numbers it (severity in the top bits; Event Viewer
// shows the low 16), and the text with the folder it is about.
struct EventRecord {
  WORD type;
  DWORD id;
  std::wstring text;
};
EventRecord RecordOf(const Event& event, const std::string& folder);
// Writes it; nothing where the log cannot be opened.
void WriteEventLog(const Event& event, const std::string& folder);

}  // namespace druvo
