#include "tray/spool_worker.h"

#include "core/clock.h"
#include "platform/win32/win32_printer_link.h"
#include "spool/direct_printer.h"

namespace druvo {

namespace {

// A job under way when Quit is chosen may finish within this; then its
// connection is reset, well before the window gives up waiting.
constexpr int kStopGraceMs = 1000;
// How often confirmations are looked for while receipts await them.
constexpr long long kConfirmLookMs = 50;
// A call to the printer longer than this shows as an error while it lasts.
constexpr unsigned long kStalledMs = 5000;

}  // namespace

// Times each call to the printer or the print server, so that the window
// can tell a long wait from printing.
class SpoolWorker::TimedSpooler : public Spooler {
 public:
  explicit TimedSpooler(Spooler& inner) : inner_(inner) {}
  unsigned long CallMs() const {
    const LONG since = InterlockedCompareExchange(&since_, 0, 0);
    return since == 0 ? 0 : GetTickCount() - static_cast<DWORD>(since);
  }

  OpResult OpenQueue(const char* name) override {
    return Timed([&] { return inner_.OpenQueue(name); });
  }
  OpResult BeginDocument(const char* d, const char* t) override {
    return Timed([&] { return inner_.BeginDocument(d, t); });
  }
  OpResult Write(const void* data, std::size_t size) override {
    return Timed([&] { return inner_.Write(data, size); });
  }
  OpResult EndDocument() override {
    return Timed([&] { return inner_.EndDocument(); });
  }
  void AbortDocument() override { inner_.AbortDocument(); }
  void CloseQueue() override { inner_.CloseQueue(); }
  int LastJobId() const override { return inner_.LastJobId(); }

 private:
  template <typename Call>
  OpResult Timed(Call call) {
    // 0 means "no call": a tick count of 0 is taken as 1.
    InterlockedExchange(&since_, static_cast<LONG>(GetTickCount() | 1));
    OpResult r = call();
    InterlockedExchange(&since_, 0);
    return r;
  }

  Spooler& inner_;
  mutable volatile LONG since_ = 0;
};

SpoolWorker::SpoolWorker(const SpoolSettings& settings, HWND window, UINT changed, UINT error,
                         ClaimFolder claimFolder)
    : settings_(settings),
      window_(window),
      changedMessage_(changed),
      errorMessageId_(error),
      jobs_(ListCreate()),
      dataFolder_(DataFolder()),
      log_(dataFolder_),
      state_(dataFolder_,
             WideFromUtf8(StateFileName(
                 Utf8FromWide(
                     CanonicalFolder(DropFolder::Of(settings.fileSource, '\\').Folder()).c_str()),
                 '\\'))),
      dispatcher_(settings.pollInterval),
      wake_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      confirmed_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      nudge_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      claim_(std::move(claimFolder)) {
  PrinterAddress address = ParsePrinterAddress(settings_.printerName, false);
  ApplyPrintedModeRule(address, settings_.deleteAfterPrinted);
  direct_ = address.kind == PrinterAddress::Kind::Socket;
  if (direct_) {
    DirectOptions direct;
    direct.stopFlag = &stop_;
    direct.stopGraceMs = kStopGraceMs;
    direct.finishAtStopMs = static_cast<int>(kFinishAtQuitMs);
    direct.note = [this](const std::string& line) { Log(LogLevel::Warning, line); };
    auto printer = std::make_unique<DirectPrinter>(address, MakePrinterLink(address), direct);
    tracker_ = printer.get();
    printer_ = std::move(printer);
  } else {
    printer_ = std::make_unique<Win32Spooler>();
  }
  spooler_ = std::make_unique<TimedSpooler>(*printer_);
  host_ = std::make_unique<SpoolHost>(settings_, jobs_, dispatcher_,
                                      SpoolPorts{files_, *spooler_, *tracker_, *this, *this,
                                                 dataFolder_.empty() ? nullptr : &state_},
                                      address, &stop_);
  const DropFolder& folder = host_->Engine().Folder();
  if (folder.prefix.find('\\') != std::string::npos) watchedFolder_ = WideFromUtf8(folder.prefix);
  if (watchedFolder_.empty()) dispatcher_.NoWatch();  // the timer alone finds the files
}

std::string SpoolWorker::StartLine(const SpoolSettings& s) {
  return std::string("Command line: ") + s.commandLine + "; Printer: " + s.printerName +
         "; File source: " + s.fileSource +
         "; Force delete: " + (s.forceDelete != 0 ? "TRUE" : "FALSE") +
         "; Sent as: " + (s.byteForByte != 0 ? "bytes" : "text");
}

SpoolWorker::~SpoolWorker() {
  Stop(INFINITE);
  watch_.Stop();
  host_.reset();
  ListDestroy(&jobs_);
}

bool SpoolWorker::Start() {
  thread_.reset(CreateThread(nullptr, 0, &SpoolWorker::ThreadMain, this, 0, nullptr));
  return static_cast<bool>(thread_);
}

bool SpoolWorker::Stop(DWORD timeoutMs) {
  stop_ = 1;
  SetEvent(wake_.get());
  if (!thread_) return true;
  if (WaitForSingleObject(thread_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
  thread_.reset();
  return true;
}

bool SpoolWorker::StopAsAtQuit(const std::function<void(const char* why)>& stage) {
  bool stopped = Stop(kQuitWaitMs);
  if (!stopped && FinishingJob()) {
    stage("waiting for the printer to take the receipt under way");
    stopped = Stop(kFinishAtQuitMs);
  }
  if (!stopped && AwaitingConfirmations()) {
    // Receipts the printer has: a little longer, so that they are settled
    // now and never sent again.
    stage("waiting for the printer to confirm receipts");
    stopped = Stop(kConfirmAtQuitMs + 1000);
  }
  return stopped;
}

void SpoolWorker::SetPaused(bool paused) {
  if (InterlockedExchange(&paused_, paused ? 1 : 0) == (paused ? 1 : 0)) return;
  Log(LogLevel::Info, paused ? "paused: no file is sent until resumed" : "resumed");
  SetEvent(nudge_.get());
}

bool SpoolWorker::FinishingJob() const { return direct_ && spooler_->CallMs() > 0; }

DWORD WINAPI SpoolWorker::ThreadMain(void* self) {
  static_cast<SpoolWorker*>(self)->Run();
  return 0;
}

void SpoolWorker::ArmWatch() {
  std::string why;
  const bool armed = watch_.Start(watchedFolder_, &why);
  dispatcher_.ArmTried(SteadyMs(), armed);
  // A folder that did not exist at start is claimed by its identity once it
  // does: of two Druvos on two spellings of it, only one prints.
  if (armed && claim_ && !refused_ && !claim_(&why)) {
    refused_ = true;
    Log(LogLevel::Error, why + "; this Druvo prints nothing more");
    ShowState(EngineState::Error);
    ShowFault(why);
    Changed();
  }
}

void SpoolWorker::SetMetricsFile(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  metricsStore_ = std::make_unique<Win32StateStore>(WideFromUtf8(path.substr(0, slash)),
                                                    WideFromUtf8(path.substr(slash + 1)));
  metrics_ = std::make_unique<MetricsFile>(
      path, [this](const std::string& text) { return metricsStore_->Save(text); },
      [this](LogLevel level, const std::string& line) { Log(level, line); });
}

void SpoolWorker::Run() {
  const std::string folder = host_->Engine().Folder().Folder();
  host_->ShowFleet(
      MetricsInput{folder, DRUVO_VERSION, {}},
      [folder](const Event& e) { WriteEventLog(e, folder); }, std::move(metrics_));
  host_->Started();
  RunLoop();
  host_->Stopped();
}

void SpoolWorker::RunLoop() {
  host_->KeepFleet(SteadyMs());
  while (stop_ == 0) {
    if (dispatcher_.ArmDue(SteadyMs())) ArmWatch();
    HANDLE waits[3] = {wake_.get(), watch_.Changed(), nudge_.get()};
    long long waitMs = host_->WaitMs(SteadyMs());
    // A printer's confirmations are looked for often while receipts await
    // them: each one may let the next receipt go.
    const bool confirming = host_->Confirming();
    if (confirming && waitMs > kConfirmLookMs) waitMs = kConfirmLookMs;
    const DWORD woke = WaitForMultipleObjects(3, waits, FALSE, static_cast<DWORD>(waitMs));
    if (stop_ != 0) break;
    if (woke == WAIT_OBJECT_0 + 1) dispatcher_.Changed();
    if (confirming && woke == WAIT_TIMEOUT) host_->PrinterSpoke();
    dispatcher_.Watched(watch_.Running());
    if (woke == WAIT_OBJECT_0 + 2) dispatcher_.Changed();  // resumed: look now
    if (refused_ || Paused() || !host_->Due(SteadyMs())) {
      host_->KeepFleet(SteadyMs());  // a cycle keeps it itself
      continue;
    }
    host_->Cycle();
    {
      std::lock_guard<ReentrantLock> hold(lock_);
      shown_.waiting = host_->Engine().Report().waiting;
      published_ = host_->Engine().Report();
    }
    Changed();
  }
  // Receipts the printer has but has not confirmed: settled now if they
  // come out soon, else by the next start before it sends anything.
  if (!host_->Confirming()) return;
  InterlockedExchange(&awaiting_, 1);
  host_->AwaitConfirmations([] { ::Sleep(100); }, kConfirmAtQuitMs / 2, kConfirmAtQuitMs);
  InterlockedExchange(&awaiting_, 0);
}

SpoolWorker::Shown SpoolWorker::Snapshot() {
  std::lock_guard<ReentrantLock> hold(lock_);
  InterlockedExchange(&posted_, 0);
  Shown copy = shown_;
  copy.callMs = spooler_->CallMs();
  return copy;
}

SpoolWorker::Shown SpoolWorker::Seen() {
  Shown shown = Snapshot();
  if (shown.state == EngineState::Busy && shown.callMs >= kStalledMs) {
    shown.state = EngineState::Error;
    shown.fault = "waiting " + std::to_string(shown.callMs / 1000) + " s for printer " +
                  settings_.printerName;
  }
  return shown;
}

EngineReport SpoolWorker::Published() {
  std::lock_guard<ReentrantLock> hold(lock_);
  return published_;
}

void SpoolWorker::Changed() {
  // One message at a time: the window reads everything when it comes.
  if (window_ != nullptr && InterlockedExchange(&posted_, 1) == 0)
    PostMessageW(window_, changedMessage_, 0, 0);
}

void SpoolWorker::ShowState(EngineState state) {
  {
    std::lock_guard<ReentrantLock> hold(lock_);
    // Before the cycle's waits: asked meanwhile, the answer is "busy".
    if (host_) published_ = host_->Engine().Report();
    if (shown_.state == state) return;
    shown_.state = state;
  }
  Changed();
}

void SpoolWorker::ShowFault(const std::string& fault) {
  {
    std::lock_guard<ReentrantLock> hold(lock_);
    shown_.fault = fault;
  }
  Changed();
}

void SpoolWorker::ShowError(const char* message, const std::string& detail, bool repeated) {
  if (!repeated) Log(LogLevel::Error, std::string(message) + " " + detail);
  if (window_ == nullptr) return;  // no box to wait for; the cycle's pause paces it
  // The window shows the box, after the error picture; the cycle waits for
  // it as it always did, and a stop ends the wait.
  errorMessage_ = message;
  ResetEvent(confirmed_.get());
  PostMessageW(window_, errorMessageId_, 0, 0);
  HANDLE waits[2] = {confirmed_.get(), wake_.get()};
  WaitForMultipleObjects(2, waits, FALSE, INFINITE);
}

void SpoolWorker::Log(LogLevel /*level*/, const std::string& line) {
  OutputDebugStringA(("druvo: " + line + "\n").c_str());
  // Druvos on other folders write the same log: the process id tells whose
  // line it is, and the start line names its printer and folder.
  bool failed;
  {
    // A slow disk holds up only other writers of the log, never the window.
    std::lock_guard<ReentrantLock> writing(logLock_);
    failed = !log_.Write("[" + std::to_string(GetCurrentProcessId()) + "] " + line);
  }
  {
    std::lock_guard<ReentrantLock> hold(lock_);
    if (failed == shown_.logFailed) return;
    shown_.logFailed = failed;  // printing goes on; the tooltip tells
  }
  Changed();
}

void SpoolWorker::Stop() { dispatcher_.StopTimer(); }

void SpoolWorker::Start(int periodMs) { dispatcher_.StartTimer(SteadyMs(), periodMs); }

void SpoolWorker::Sleep(int ms) { WaitForSingleObject(wake_.get(), static_cast<DWORD>(ms)); }

std::uint64_t SpoolWorker::Now() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return TicksFromFileTime(ft);
}

}  // namespace druvo
