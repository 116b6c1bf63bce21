#include "platform/win32/win32_ports.h"

#include <sddl.h>
#include <shlobj.h>
#include <winspool.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "core/text_helpers.h"
#include "core/wildcard.h"

namespace druvo {

void PrinterCloser::operator()(HANDLE h) const {
  if (h != nullptr) ::ClosePrinter(h);
}

std::string ErrorText(const std::string& where, DWORD code) {
  char message[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, message, sizeof message, nullptr);
  std::string text(message, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return (where.empty() ? "" : where + ": ") + (text.empty() ? "error" : text) + " (code " +
         std::to_string(code) + ")";
}

std::string LastErrorText(const std::string& where) { return ErrorText(where, GetLastError()); }

std::uint64_t TicksFromFileTime(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

namespace {

// Volume serial, file index, size and write time of an open file.
FileIdentity IdentityOf(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(h, &info)) return {};
  FileIdentity id;
  id.volume = info.dwVolumeSerialNumber;
  id.file = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  id.changeTime = TicksFromFileTime(info.ftLastWriteTime);
  return id;
}

class Win32InputFile : public InputFile {
 public:
  explicit Win32InputFile(HANDLE h) : file_(h), identity_(IdentityOf(h)) {}
  FileIdentity Identity() const override { return identity_; }
  long long Read(void* buffer, std::size_t size, std::string* error) override {
    DWORD got = 0;
    const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    if (!ReadFile(file_.get(), buffer, want, &got, nullptr)) {
      if (GetLastError() == ERROR_LOCK_VIOLATION) return kReadLocked;
      *error = LastErrorText("ReadFile");
      return -1;
    }
    return got;
  }

 private:
  UniqueFile file_;
  FileIdentity identity_;
};

}  // namespace

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
  return wide;
}

std::string Utf8FromWide(const wchar_t* text, bool* lossless) {
  std::string narrow;
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n > 1) {
    narrow.resize(static_cast<std::size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], n, nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(n - 1));
  }
  if (lossless != nullptr) *lossless = WideFromUtf8(narrow) == text;
  return narrow;
}

std::string AnsiFromUtf8(const std::string& text) {
  const std::wstring wide = WideFromUtf8(text);
  const int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string ansi(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &ansi[0], n, nullptr, nullptr);
  ansi.resize(static_cast<std::size_t>(n - 1));
  return ansi;
}

std::wstring DataFolder() {
  // SHGetFolderPath, not the LOCALAPPDATA variable: Windows XP has no such
  // variable but has the folder.
  wchar_t base[MAX_PATH] = {};
  if (FAILED(
          SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, base))) {
    return std::wstring();
  }
  std::wstring folder = std::wstring(base) + L"\\Druvo";
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::wstring FilePath(const std::string& path) {
  // The folder is made whole the usual way; the name is appended as it is,
  // behind \\?\, so that a name Windows reserves (CON, NUL.txt, aux.prn,
  // COM1.prn), one ending in a dot, or a path past MAX_PATH names the file
  // on the disk, never a device.
  const std::wstring wide = WideFromUtf8(path);
  const std::size_t cut = wide.rfind(L'\\');
  if (wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
  // 'C:NAME' is in the current folder of drive C:, 'NAME' in the working one.
  const std::size_t split =
      cut != std::wstring::npos ? cut + 1 : (wide.size() > 1 && wide[1] == L':' ? 2 : 0);
  std::wstring folder = split == 0 ? L"." : wide.substr(0, split);
  const std::wstring name = wide.substr(split);
  std::vector<wchar_t> full(32768);
  const DWORD n =
      GetFullPathNameW(folder.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n == 0 || n >= full.size()) return wide;
  folder.assign(full.data(), n);
  if (folder.back() != L'\\') folder += L'\\';
  if (folder.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + folder.substr(2) + name;
  return L"\\\\?\\" + folder + name;
}

OpResult Win32FileSystem::Search(const DropFolder& where,
                                 const std::function<void(const DirEntry&)>& visit) {
  const std::string pattern = where.Pattern();
  // The wide search: the ANSI one cannot name files outside the code page.
  WIN32_FIND_DATAW data;
  HANDLE first = FindFirstFileW(FilePath(pattern).c_str(), &data);
  if (first == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES) return OpResult::Ok();
    return OpResult::Fail(ErrorText("FindFirstFileW " + pattern, code));
  }
  UniqueFind find(first);
  do {
    bool lossless = true;
    const std::string name = Utf8FromWide(data.cFileName, &lossless);
    DirEntry entry{name.c_str(), data.dwFileAttributes, TicksFromFileTime(data.ftLastWriteTime),
                   (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow};
    entry.nameLost = !lossless;
    visit(entry);
  } while (FindNextFileW(find.get(), &data));
  // Anything but the end is an error, not the end of the folder: the engine
  // would forget what it remembers of the files it did not see.
  if (const DWORD code = GetLastError(); code != ERROR_NO_MORE_FILES)
    return OpResult::Fail(ErrorText("FindNextFileW " + pattern, code));
  return OpResult::Ok();
}

OpenOutcome Win32FileSystem::Open(const char* path, std::unique_ptr<InputFile>* file,
                                  std::string* error) {
  // Readers may share; a writer that still has the file open makes this a
  // sharing violation, which means the file is not finished yet.
  HANDLE h = CreateFileW(FilePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
      return OpenOutcome::NotReady;
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return OpenOutcome::Gone;
    *error = ErrorText(std::string("CreateFileW ") + path, code);
    return OpenOutcome::Failed;
  }
  *file = std::make_unique<Win32InputFile>(h);
  return OpenOutcome::Opened;
}

OpResult Win32FileSystem::Identify(const char* path, FileIdentity* identity, bool* gone) {
  *identity = {};
  *gone = false;
  // No access asked: this opens even while a writer holds the file.
  HANDLE h =
      CreateFileW(FilePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *gone = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    if (*gone) return OpResult::Ok();
    return OpResult::Fail(ErrorText(std::string("CreateFileW ") + path, code));
  }
  const UniqueFile file(h);
  *identity = IdentityOf(h);
  return OpResult::Ok();
}

OpResult Win32FileSystem::Delete(const char* path) {
  if (!DeleteFileW(FilePath(path).c_str()))
    return OpResult::Fail(LastErrorText(std::string("DeleteFileW ") + path));
  return OpResult::Ok();
}

namespace {

// A claim left by a crash is settled before the first scan; one kept
// because its name was taken meanwhile is a receipt still to print, and the
// scan may print it under that name.
std::wstring ClaimOf(const std::wstring& full, std::uint64_t digest) {
  const std::size_t slash = full.rfind(L'\\');
  return full.substr(0, slash + 1) +
         WideFromUtf8(ClaimName(Utf8FromWide(full.substr(slash + 1).c_str()), digest));
}

// Whether the claimed file is the one read: the same file, nobody writing
// to it (it opens without sharing writes), and the same bytes.
bool ClaimHolds(const std::wstring& claim, const FileIdentity& printed) {
  HANDLE h = CreateFileW(claim.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  Win32InputFile file(h);
  if (printed.Known() && !file.Identity().SameFile(printed)) return false;
  std::uint64_t digest = 0;
  return DigestRest(file, &digest) && digest == printed.content;
}

}  // namespace

DeleteOutcome Win32FileSystem::DeleteIfSame(const char* path, const FileIdentity& read,
                                            std::string* error) {
  if (read.content == 0) return FileSystem::DeleteIfSame(path, read, error);
  const std::wstring full = FilePath(path);
  const std::wstring claim = ClaimOf(full, read.content);
  // Without MOVEFILE_REPLACE_EXISTING: never over a file that has the name.
  if (!MoveFileExW(full.c_str(), claim.c_str(), 0)) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return DeleteOutcome::Gone;
    if (code == ERROR_SHARING_VIOLATION) return DeleteOutcome::Replaced;  // written anew now
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)
      return FileSystem::DeleteIfSame(path, read, error);
    *error = ErrorText(std::string("MoveFileExW ") + path, code);
    return DeleteOutcome::Failed;
  }
  if (ClaimHolds(claim, read)) {
    if (DeleteFileW(claim.c_str())) return DeleteOutcome::Deleted;
    *error = LastErrorText(std::string("DeleteFileW ") + path);
  }
  if (!MoveFileExW(claim.c_str(), full.c_str(), 0)) {
    *error = "it is kept as " + Utf8FromWide(claim.c_str()) + " (" + LastErrorText("") +
             ") and put back once its name is free";
    stranded_ = true;
    return DeleteOutcome::Replaced;
  }
  return error->empty() ? DeleteOutcome::Replaced : DeleteOutcome::Failed;
}

bool Win32FileSystem::SettleClaims(const DropFolder& where, std::vector<std::string>* told) {
  std::wstring folder = FilePath(where.PathOf("x"));
  folder.resize(folder.size() - 1);  // "\\?\FOLDER\"
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW((folder + L".druvo-claim.*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) {
    stranded_ = false;
    return true;
  }
  const UniqueFind search(h);
  bool settled = true;
  do {
    std::string utf8Name;
    FileIdentity printed;
    if (!ParseClaim(Utf8FromWide(found.cFileName), &utf8Name, &printed.content)) continue;
    const std::wstring name = WideFromUtf8(utf8Name);
    const std::string shown = QuotedForLog(where.PathOf(utf8Name));
    const std::wstring claim = folder + found.cFileName;
    if (ClaimHolds(claim, printed) && DeleteFileW(claim.c_str())) {
      told->push_back("deleted " + shown + ", printed just before the last stop");
    } else if (MoveFileExW(claim.c_str(), (folder + name).c_str(), 0)) {
      told->push_back("put back " + shown +
                      ", which took the name of a printed file; it is printed in its turn");
    } else {
      settled = false;
    }
  } while (FindNextFileW(h, &found));
  stranded_ = !settled;
  return settled;
}

OpResult Win32Spooler::OpenQueue(const char* name) {
  // The name in UTF-16: a printer named in any language is found.
  HANDLE h = nullptr;
  std::wstring wide = WideFromUtf8(name);
  if (!OpenPrinterW(&wide[0], &h, nullptr) || h == nullptr)
    return OpResult::Fail(LastErrorText("OpenPrinterW"));
  printer_.reset(h);
  return OpResult::Ok();
}

OpResult Win32Spooler::BeginDocument(const char* documentName, const char* dataType) {
  DOC_INFO_1A info{};
  info.pDocName = const_cast<char*>(documentName);
  info.pOutputFile = nullptr;
  info.pDatatype = const_cast<char*>(dataType);
  if (StartDocPrinterA(printer_.get(), 1, reinterpret_cast<BYTE*>(&info)) == 0)
    return OpResult::Fail(LastErrorText("StartDocPrinterA"));
  if (!StartPagePrinter(printer_.get())) {
    const OpResult failed = OpResult::Fail(LastErrorText("StartPagePrinter"));
    AbortPrinter(printer_.get());
    return failed;
  }
  return OpResult::Ok();
}

OpResult Win32Spooler::Write(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const BYTE*>(data);
  while (size > 0) {
    const DWORD chunk = size > INT_MAX ? static_cast<DWORD>(INT_MAX) : static_cast<DWORD>(size);
    DWORD written = 0;
    // The BOOL decides. Some spoolers report 0 bytes on success; a smaller
    // non-zero count means the rest is still to go.
    if (!WritePrinter(printer_.get(), const_cast<BYTE*>(bytes), chunk, &written))
      return OpResult::Fail(LastErrorText("WritePrinter"));
    if (written == 0 || written >= chunk) written = chunk;
    bytes += written;
    size -= written;
  }
  return OpResult::Ok();
}

OpResult Win32Spooler::EndDocument() {
  if (!EndPagePrinter(printer_.get())) return OpResult::Fail(LastErrorText("EndPagePrinter"));
  if (!EndDocPrinter(printer_.get())) return OpResult::Fail(LastErrorText("EndDocPrinter"));
  return OpResult::Ok();
}

void Win32Spooler::AbortDocument() {
  if (printer_) AbortPrinter(printer_.get());
}

void Win32Spooler::CloseQueue() { printer_.reset(); }

namespace {

OpResult ReadWhole(const std::wstring& path, std::string* text, bool* missing) {
  text->clear();
  *missing = false;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    return *missing ? OpResult::Ok() : OpResult::Fail(ErrorText("CreateFileW", code));
  }
  UniqueFile file(h);
  char buffer[8192];
  for (;;) {
    DWORD got = 0;
    // A read that fails part way is no shorter file: cut, a path in it
    // would name another file.
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr))
      return OpResult::Fail(LastErrorText("ReadFile"));
    if (got == 0) return OpResult::Ok();
    text->append(buffer, got);
  }
}

}  // namespace

std::string Win32StateStore::Where() const {
  return Utf8FromWide((folder_ + L"\\" + name_).c_str());
}

OpResult Win32StateStore::Load(std::string* text) {
  bool missing = false;
  OpResult r = ReadWhole(folder_ + L"\\" + name_, text, &missing);
  // Until this folder has a file of its own, the one that older versions
  // kept for every folder: entries of other folders are never seen here,
  // and so dropped.
  if (r && missing && name_ != L"state") r = ReadWhole(folder_ + L"\\state", text, &missing);
  return r;
}

OpResult Win32StateStore::Save(const std::string& text) {
  // Written beside the old file, flushed, then moved over it: a crash
  // leaves one whole version or the other.
  const std::wstring path = folder_ + L"\\" + name_;
  const std::wstring temporary = path + L".new";
  HANDLE h = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return OpResult::Fail(LastErrorText("CreateFileW " + Where() + ".new"));
  {
    UniqueFile file(h);
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
      return OpResult::Fail(LastErrorText("WriteFile " + Where() + ".new"));
    }
    if (!FlushFileBuffers(file.get())) return OpResult::Fail(LastErrorText("FlushFileBuffers"));
  }
  if (!MoveFileExW(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return OpResult::Fail(LastErrorText("MoveFileExW " + Where()));
  }
  return OpResult::Ok();
}

std::wstring CanonicalFolder(const std::string& folder) {
  const std::wstring wide = WideFromUtf8(folder);
  wchar_t full[32768];
  DWORD n = GetFullPathNameW(wide.c_str(), 32768, full, nullptr);
  std::wstring out = n > 0 && n < 32768 ? std::wstring(full, n) : wide;
  n = GetLongPathNameW(out.c_str(), full, 32768);  // "C:\PROGRA~1" is "C:\Program Files"
  if (n > 0 && n < 32768) out.assign(full, n);
  while (out.size() > 3 && out.back() == L'\\') out.pop_back();
  if (!out.empty()) CharUpperBuffW(&out[0], static_cast<DWORD>(out.size()));
  return out;
}

namespace {

// Which druvo serves which names of a folder: a table in named shared
// memory per folder key, changed under a named mutex. An entry whose process
// has ended is free. Both live in the Global namespace where this user may
// make them, else in the session's.
struct Registration {
  DWORD pid;
  FILETIME started;  // with the pid: a reused pid is another process
  char pattern[512];
};
constexpr int kRegistrations = 32;

FILETIME StartedAt(HANDLE process) {
  FILETIME created{}, exited, kernel, user;
  GetProcessTimes(process, &created, &exited, &kernel, &user);
  return created;
}

bool StillRuns(const Registration& r) {
  const UniqueKernel process(OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, r.pid));
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;  // another user's: it runs
  if (WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) return false;
  const FILETIME started = StartedAt(process.get());
  return CompareFileTime(&started, &r.started) == 0;
}

// Druvos of every local account meet in the Global namespace: the service
// runs as LocalService, its views and other trays as whoever is logged on.
// An object's default DACL would let in its maker's account only.
SECURITY_ATTRIBUTES* SharedWithLocalAccounts() {
  static SECURITY_ATTRIBUTES attributes = [] {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;AU)(A;;GA;;;LS)(A;;GA;;;NS)", SDDL_REVISION_1,
            &descriptor, nullptr) == 0)
      descriptor = nullptr;
    return SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  }();
  return attributes.lpSecurityDescriptor != nullptr ? &attributes : nullptr;
}

// Adds names to the key's table unless a running druvo's pattern there can
// match a name they match. The mapping stays open (in held) while we run.
bool Register(const std::wstring& key, const std::string& names, FolderConflict* conflict,
              std::vector<UniqueKernel>* held) {
  for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
    SECURITY_ATTRIBUTES* shared = space[0] == L'G' ? SharedWithLocalAccounts() : nullptr;
    UniqueKernel guard(CreateMutexW(shared, FALSE, (space + (L"Druvo-guard-" + key)).c_str()));
    if (!guard && GetLastError() == ERROR_ACCESS_DENIED) continue;
    if (!guard) return true;                 // nothing to compare with
    WaitForSingleObject(guard.get(), 5000);  // held a moment by another start, if at all
    UniqueKernel table(CreateFileMappingW(INVALID_HANDLE_VALUE, shared, PAGE_READWRITE, 0,
                                          sizeof(Registration) * kRegistrations,
                                          (space + (L"Druvo-names-" + key)).c_str()));
    auto* entries =
        table ? static_cast<Registration*>(MapViewOfFile(table.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0))
              : nullptr;
    bool free = true;
    if (entries != nullptr) {
      Registration* slot = nullptr;
      for (int i = 0; i < kRegistrations && free; ++i) {
        Registration& r = entries[i];
        r.pattern[sizeof r.pattern - 1] = '\0';
        if (r.pid != 0 && r.pid != GetCurrentProcessId() && !StillRuns(r)) r = Registration{};
        if (r.pid == 0 || r.pid == GetCurrentProcessId()) {
          if (slot == nullptr) slot = &r;
        } else if (WildcardsOverlap(names, r.pattern, &conflict->both)) {
          conflict->pattern = r.pattern;
          free = false;
        }
      }
      if (free && slot != nullptr) {
        slot->pid = GetCurrentProcessId();
        slot->started = StartedAt(GetCurrentProcess());
        std::snprintf(slot->pattern, sizeof slot->pattern, "%s", names.c_str());
      }
      UnmapViewOfFile(entries);
      held->push_back(std::move(table));
    }
    ReleaseMutex(guard.get());
    return free;
  }
  return true;
}

}  // namespace

std::string FolderConflict::Why(const DropFolder& drop) const {
  return "Druvo already serves the folder " + drop.Folder() + " with the pattern \"" + pattern +
         "\", and a file such as \"" + both + "\" would match both it and \"" + drop.names + "\"";
}

bool FolderInstanceLock::Take(const std::string& folder, const std::string& names,
                              FolderConflict* conflict) {
  // By the folder's identity, so that another spelling meets the same
  // druvos, and by its full name, which a folder that does not exist yet
  // has too.
  const std::wstring canonical = CanonicalFolder(folder);
  unsigned long long hash = 1469598103934665603ULL;
  for (const wchar_t c : canonical) hash = (hash ^ static_cast<unsigned>(c)) * 1099511628211ULL;
  wchar_t key[64];
  const auto registered = [&](const std::wstring& k) {
    if (std::find(keys_.begin(), keys_.end(), k) != keys_.end()) return true;
    if (!Register(k, names, conflict, &held_)) return false;
    keys_.push_back(k);
    return true;
  };
  swprintf(key, 64, L"path-%016llx", hash);
  if (!registered(key)) return false;
  const UniqueHandle<FileHandleKind> opened(
      CreateFileW(canonical.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!opened || GetFileInformationByHandle(opened.get(), &info) == 0) return true;
  swprintf(key, 64, L"folder-%08lx-%08lx%08lx", info.dwVolumeSerialNumber, info.nFileIndexHigh,
           info.nFileIndexLow);
  return registered(key);
}

std::string Win32LogFile::Where() const { return Utf8FromWide((folder_ + L"\\druvo.log").c_str()); }

bool Win32LogFile::Write(const std::string& line) {
  if (folder_.empty()) return false;
  const std::wstring path = folder_ + L"\\druvo.log";
  WIN32_FILE_ATTRIBUTE_DATA info{};
  bool append = true;  // false: start the log again empty
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) &&
      (info.nFileSizeHigh != 0 || info.nFileSizeLow >= kRotateBytes)) {
    const std::wstring older = path + L".1";
    append = MoveFileExW(path.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    // druvo.log.1 held open by a viewer: the log must not grow without end,
    // so past twice the size it starts again empty.
    if (!append && info.nFileSizeHigh == 0 && info.nFileSizeLow < 2 * kRotateBytes) append = true;
  }
  HANDLE h =
      CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  UniqueFile file(h);
  SYSTEMTIME now;
  GetLocalTime(&now);
  char stamp[40];
  std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u druvo: ", now.wYear,
                now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  const std::string text = stamp + line + "\r\n";
  DWORD written = 0;
  return WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

EventRecord RecordOf(const Event& event, const std::string& folder) {
  const EventType& type = TypeOf(event.kind);
  const DWORD severity = type.level == LogLevel::Error ? 3 : type.level == LogLevel::Warning ? 2 : 1;
  const WORD kind = type.level == LogLevel::Error     ? EVENTLOG_ERROR_TYPE
                    : type.level == LogLevel::Warning ? EVENTLOG_WARNING_TYPE
                                                      : EVENTLOG_INFORMATION_TYPE;
  return {kind, (severity << 30) | type.eventId,
          WideFromUtf8(event.text + "\r\nFolder: " + folder)};
}

void WriteEventLog(const Event& event, const std::string& folder) {
  const UniqueHandle<EventSourceKind> source(RegisterEventSourceW(nullptr, L"Druvo"));
  if (!source) return;
  const EventRecord record = RecordOf(event, folder);
  const wchar_t* strings[] = {record.text.c_str()};
  ReportEventW(source.get(), record.type, 0, record.id, nullptr, 1, 0, strings, nullptr);
}

}  // namespace druvo
