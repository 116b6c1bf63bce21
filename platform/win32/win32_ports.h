// The drop folder and the print spooler on Win32.
#pragma once

#include "platform/win32/win32_handles.h"
#include "spool/ports.h"

namespace druvo {

class Win32FileSystem : public FileSystem {
 public:
  OpResult Search(const char* pattern, const std::function<void(const DirEntry&)>& visit) override;
  OpenOutcome Open(const char* path, std::unique_ptr<InputFile>* file, std::string* error) override;
  OpResult Delete(const char* path) override;
  std::size_t MaxPathLength() const override { return MAX_PATH - 1; }
  char Separator() const override { return '\\'; }
};

class Win32Spooler : public Spooler {
 public:
  OpResult OpenQueue(const char* name) override;
  OpResult BeginDocument(const char* documentName, const char* dataType) override;
  OpResult BeginPage() override;
  OpResult Write(const void* data, std::size_t size) override;
  OpResult EndPage() override;
  OpResult EndDocument() override;
  void AbortDocument() override;
  void CloseQueue() override;

 private:
  UniquePrinter printer_;
};

std::uint64_t TicksFromFileTime(const FILETIME& ft);

}  // namespace druvo
