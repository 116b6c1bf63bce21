// The named pipe a running Druvo answers on, as "druvo status" is answered
// on Linux: the client sends one byte, 'j' for JSON or 't' for text, and
// reads one message, the report. 'p' and 'r' pause and resume printing,
// for administrators only. \\.\pipe\druvo for the default instance,
// \\.\pipe\druvo-NAME for the instance NAME.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "platform/win32/win32_handles.h"

namespace druvo {

std::wstring StatusPipeName(const std::string& instance);
// The service's name: Druvo, or Druvo-NAME for the instance NAME.
std::string ServiceName(const std::string& instance);

class StatusPipeServer {
 public:
  // The answer to the client's byte (request), from the server's thread;
  // admin: the client is an administrator (elevated, where Windows has UAC).
  using Answer = std::function<std::string(char request, bool admin)>;
  StatusPipeServer() = default;
  ~StatusPipeServer() { Stop(); }
  StatusPipeServer(const StatusPipeServer&) = delete;
  StatusPipeServer& operator=(const StatusPipeServer&) = delete;

  // Takes the pipe unless another Druvo has it; says why not.
  bool Start(const std::string& instance, Answer answer, std::string* why);
  void Stop();

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Serve();
  void ServeOne(HANDLE pipe);
  HANDLE NewInstance(bool first);

  std::wstring name_;
  Answer answer_;
  UniqueLocal<void> security_;  // the pipe's SECURITY_DESCRIPTOR
  UniqueFile next_;             // the instance the next client connects to
  UniqueKernel quit_, io_, thread_;
};

// Sends REQUEST to the Druvo on the pipe and reads its answer; false when
// none answered within timeoutMs.
bool AskStatusPipe(const std::string& instance, char request, std::string* answer, DWORD timeoutMs);

}  // namespace druvo
