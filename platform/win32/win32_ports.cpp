#include "platform/win32/win32_ports.h"

#include <winspool.h>

#include <climits>

namespace druvo {

void PrinterCloser::operator()(HANDLE h) const {
  if (h != nullptr) ::ClosePrinter(h);
}

std::string ErrorText(const std::string& where, DWORD code) {
  char message[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 code, 0, message, sizeof message, nullptr);
  std::string text(message, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return where + ": " + (text.empty() ? "error" : text) + " (code " + std::to_string(code) + ")";
}

std::string LastErrorText(const std::string& where) { return ErrorText(where, GetLastError()); }

std::uint64_t TicksFromFileTime(const FILETIME& ft) {
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

namespace {

class Win32InputFile : public InputFile {
 public:
  explicit Win32InputFile(HANDLE h) : file_(h) {}
  long long Read(void* buffer, std::size_t size, std::string* error) override {
    DWORD got = 0;
    const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    if (!ReadFile(file_.get(), buffer, want, &got, nullptr)) {
      *error = LastErrorText("ReadFile");
      return -1;
    }
    return got;
  }

 private:
  UniqueFile file_;
};

}  // namespace

OpResult Win32FileSystem::Search(const char* pattern,
                                 const std::function<void(const DirEntry&)>& visit) {
  WIN32_FIND_DATAA data;
  HANDLE first = FindFirstFileA(pattern, &data);
  if (first == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_NO_MORE_FILES) return OpResult::Ok();
    return OpResult::Fail(ErrorText(std::string("FindFirstFileA ") + pattern, code));
  }
  UniqueFind find(first);
  do {
    visit(DirEntry{data.cFileName, data.dwFileAttributes, TicksFromFileTime(data.ftLastWriteTime),
                   (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
  } while (FindNextFileA(find.get(), &data));
  return OpResult::Ok();
}

OpenOutcome Win32FileSystem::Open(const char* path, std::unique_ptr<InputFile>* file,
                                  std::string* error) {
  // Readers may share; a writer that still has the file open makes this a
  // sharing violation, which means the file is not finished yet.
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return OpenOutcome::NotReady;
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return OpenOutcome::Gone;
    *error = ErrorText(std::string("CreateFileA ") + path, code);
    return OpenOutcome::Failed;
  }
  *file = std::make_unique<Win32InputFile>(h);
  return OpenOutcome::Opened;
}

OpResult Win32FileSystem::Delete(const char* path) {
  if (!DeleteFileA(path)) return OpResult::Fail(LastErrorText(std::string("DeleteFileA ") + path));
  return OpResult::Ok();
}

OpResult Win32Spooler::OpenQueue(const char* name) {
  HANDLE h = nullptr;
  if (!OpenPrinterA(const_cast<char*>(name), &h, nullptr) || h == nullptr) {
    return OpResult::Fail(LastErrorText("OpenPrinterA"));
  }
  printer_.reset(h);
  return OpResult::Ok();
}

OpResult Win32Spooler::BeginDocument(const char* documentName, const char* dataType) {
  DOC_INFO_1A info{};
  info.pDocName = const_cast<char*>(documentName);
  info.pOutputFile = nullptr;
  info.pDatatype = const_cast<char*>(dataType);
  if (StartDocPrinterA(printer_.get(), 1, reinterpret_cast<BYTE*>(&info)) == 0) {
    return OpResult::Fail(LastErrorText("StartDocPrinterA"));
  }
  return OpResult::Ok();
}

OpResult Win32Spooler::BeginPage() {
  if (!StartPagePrinter(printer_.get())) return OpResult::Fail(LastErrorText("StartPagePrinter"));
  return OpResult::Ok();
}

OpResult Win32Spooler::Write(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const BYTE*>(data);
  while (size > 0) {
    const DWORD chunk = size > INT_MAX ? static_cast<DWORD>(INT_MAX) : static_cast<DWORD>(size);
    DWORD written = 0;
    // The BOOL decides. Some spoolers report 0 bytes on success; a smaller
    // non-zero count means the rest is still to go.
    if (!WritePrinter(printer_.get(), const_cast<BYTE*>(bytes), chunk, &written)) {
      return OpResult::Fail(LastErrorText("WritePrinter"));
    }
    if (written == 0 || written >= chunk) written = chunk;
    bytes += written;
    size -= written;
  }
  return OpResult::Ok();
}

OpResult Win32Spooler::EndPage() {
  if (!EndPagePrinter(printer_.get())) return OpResult::Fail(LastErrorText("EndPagePrinter"));
  return OpResult::Ok();
}

OpResult Win32Spooler::EndDocument() {
  if (!EndDocPrinter(printer_.get())) return OpResult::Fail(LastErrorText("EndDocPrinter"));
  return OpResult::Ok();
}

void Win32Spooler::AbortDocument() {
  if (printer_) AbortPrinter(printer_.get());
}

void Win32Spooler::CloseQueue() { printer_.reset(); }

}  // namespace druvo
