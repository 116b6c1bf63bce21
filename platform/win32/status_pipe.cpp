#include "platform/win32/status_pipe.h"

#include <sddl.h>

#include <vector>

#include "platform/win32/win32_ports.h"

namespace druvo {

namespace {

constexpr DWORD kAskMs = 1000;   // for the client's byte; then text
constexpr DWORD kSendMs = 2000;  // for the client to read the answer and go
constexpr DWORD kBufferBytes = 64 * 1024;

// Waits for an overlapped call STARTED on HANDLE; its byte count, or false
// when it failed, took past timeoutMs (it is then cancelled) or quit was set.
bool Finish(HANDLE handle, BOOL started, OVERLAPPED& o, DWORD timeoutMs, HANDLE quit,
            DWORD* bytes) {
  *bytes = 0;
  if (started == 0 && GetLastError() != ERROR_IO_PENDING && GetLastError() != ERROR_MORE_DATA)
    return false;
  HANDLE waits[2] = {o.hEvent, quit};
  const DWORD woke = WaitForMultipleObjects(quit != nullptr ? 2 : 1, waits, FALSE, timeoutMs);
  if (woke != WAIT_OBJECT_0) CancelIo(handle);  // Vista's CancelIoEx is not on XP
  // After a cancel, this waits for the call to end: o must outlive it.
  return GetOverlappedResult(handle, &o, bytes, TRUE) != 0 && woke == WAIT_OBJECT_0;
}

// Local users may ask (read and write, but not make instances of the
// pipe); the system, administrators and this process's account may do all;
// nobody from the network.
UniqueLocal<void> PipeSecurity() {
  std::wstring self;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != 0) {
    std::vector<BYTE> user(256);
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()),
                            &size) != 0 &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text) != 0) {
      self = std::wstring(L"(A;;GA;;;") + text + L")";
      LocalFree(text);
    }
    CloseHandle(token);
  }
  const std::wstring sddl =
      L"D:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)" + self + L"(A;;0x12019b;;;AU)";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                           &descriptor, nullptr) == 0)
    return nullptr;
  return UniqueLocal<void>(descriptor);
}

// Whether the client on PIPE (which has sent its byte) is an administrator.
bool ClientIsAdministrator(HANDLE pipe) {
  if (ImpersonateNamedPipeClient(pipe) == 0) return false;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  BOOL member = FALSE;
  if (AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                               0, 0, 0, 0, &admins) != 0) {
    if (CheckTokenMembership(nullptr, admins, &member) == 0) member = FALSE;
    FreeSid(admins);
  }
  RevertToSelf();
  return member != FALSE;
}

}  // namespace

std::wstring StatusPipeName(const std::string& instance) {
  return L"\\\\.\\pipe\\druvo" + (instance.empty() ? L"" : L"-" + WideFromUtf8(instance));
}

std::string ServiceName(const std::string& instance) {
  return instance.empty() ? "Druvo" : "Druvo-" + instance;
}

HANDLE StatusPipeServer::NewInstance(bool first) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security_.get(), FALSE};
  // One message per answer: the client knows it has all of it, and the
  // server knows when the client has gone.
  return CreateNamedPipeW(
      name_.c_str(),
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, kBufferBytes,
      kBufferBytes, 0, security_ ? &attributes : nullptr);
}

bool StatusPipeServer::Start(const std::string& instance, Answer answer, std::string* why) {
  name_ = StatusPipeName(instance);
  answer_ = std::move(answer);
  security_ = PipeSecurity();
  // The first instance, made here: a pipe another Druvo has is refused now.
  // Wine makes a "first" instance beside another's: a pipe that is there
  // (a client would wait for it) is another Druvo's too.
  const bool taken = WaitNamedPipeW(name_.c_str(), 1) != 0 || GetLastError() == ERROR_SEM_TIMEOUT;
  if (!taken) next_.reset(NewInstance(true));
  if (taken) SetLastError(ERROR_PIPE_BUSY);
  if (!next_) {
    *why = LastErrorText(Utf8FromWide(name_.c_str()));
    if (GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PIPE_BUSY)
      *why = "another Druvo answers on " + Utf8FromWide(name_.c_str());
    return false;
  }
  quit_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  io_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (quit_ && io_) thread_.reset(CreateThread(nullptr, 0, &ThreadMain, this, 0, nullptr));
  if (!thread_) {
    *why = LastErrorText("the pipe's thread");
    next_.reset();
    return false;
  }
  return true;
}

void StatusPipeServer::Stop() {
  if (!thread_) return;
  SetEvent(quit_.get());
  WaitForSingleObject(thread_.get(), INFINITE);
  thread_.reset();
  next_.reset();
}

DWORD WINAPI StatusPipeServer::ThreadMain(void* self) {
  static_cast<StatusPipeServer*>(self)->Serve();
  return 0;
}

void StatusPipeServer::Serve() {
  while (WaitForSingleObject(quit_.get(), 0) != WAIT_OBJECT_0) {
    UniqueFile pipe(next_.release());
    if (!pipe) {
      // Out of handles, or the like: try again, slowly.
      if (WaitForSingleObject(quit_.get(), 1000) == WAIT_OBJECT_0) return;
      next_.reset(NewInstance(false));
      continue;
    }
    OVERLAPPED o{};
    o.hEvent = io_.get();
    ResetEvent(io_.get());
    DWORD n = 0;
    const BOOL connected = ConnectNamedPipe(pipe.get(), &o);
    const bool already = connected == 0 && GetLastError() == ERROR_PIPE_CONNECTED;
    if (!already && !Finish(pipe.get(), connected, o, INFINITE, quit_.get(), &n)) {
      if (WaitForSingleObject(quit_.get(), 0) == WAIT_OBJECT_0) return;
      next_.reset(NewInstance(false));
      continue;
    }
    // The next client waits on a new instance, not on this one's answer.
    next_.reset(NewInstance(false));
    ServeOne(pipe.get());
  }
}

void StatusPipeServer::ServeOne(HANDLE pipe) {
  OVERLAPPED o{};
  o.hEvent = io_.get();
  ResetEvent(io_.get());
  char request = 't';
  DWORD n = 0;
  // A client that says nothing within the bound gets text.
  if (!Finish(pipe, ReadFile(pipe, &request, 1, nullptr, &o), o, kAskMs, quit_.get(), &n) || n != 1)
    request = 't';
  const bool admin = n == 1 && ClientIsAdministrator(pipe);
  const std::string out = answer_(request, admin);
  o = OVERLAPPED{};
  o.hEvent = io_.get();
  ResetEvent(io_.get());
  if (!Finish(pipe, WriteFile(pipe, out.data(), static_cast<DWORD>(out.size()), nullptr, &o), o,
              kSendMs, quit_.get(), &n))
    return;
  // Until the client has read it and gone: closing first would lose what
  // it has not read yet.
  o = OVERLAPPED{};
  o.hEvent = io_.get();
  ResetEvent(io_.get());
  char more = 0;
  Finish(pipe, ReadFile(pipe, &more, 1, nullptr, &o), o, kSendMs, quit_.get(), &n);
}

bool AskStatusPipe(const std::string& instance, char request, std::string* answer,
                   DWORD timeoutMs) {
  const std::wstring name = StatusPipeName(instance);
  const DWORD start = GetTickCount();
  const auto left = [&] {
    const DWORD spent = GetTickCount() - start;
    return spent >= timeoutMs ? 0 : timeoutMs - spent;
  };
  UniqueFile pipe;
  for (;;) {
    pipe.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr));
    if (pipe) break;
    const DWORD error = GetLastError();
    if (left() == 0) return false;
    if (error == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name.c_str(), left());
    } else if (error == ERROR_FILE_NOT_FOUND) {
      // None there, or the server between two instances for a moment (it
      // makes the next before it answers): a view asks every second from
      // its window's thread, so this is not waited out long.
      if (GetTickCount() - start > 40) return false;
      Sleep(10);
    } else {
      return false;
    }
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
  UniqueKernel event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  OVERLAPPED o{};
  o.hEvent = event.get();
  DWORD n = 0;
  if (!Finish(pipe.get(), WriteFile(pipe.get(), &request, 1, nullptr, &o), o, left(), nullptr, &n))
    return false;
  answer->clear();
  char buffer[4096];
  for (;;) {
    o = OVERLAPPED{};
    o.hEvent = event.get();
    ResetEvent(event.get());
    const BOOL read = ReadFile(pipe.get(), buffer, sizeof buffer, nullptr, &o);
    const bool done = Finish(pipe.get(), read, o, left(), nullptr, &n);
    answer->append(buffer, n);
    if (done) return true;                                // the message's end
    if (GetLastError() != ERROR_MORE_DATA) return false;  // more of it follows
  }
}

}  // namespace druvo
