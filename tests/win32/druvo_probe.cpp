// Drives a running druvo.exe from outside, the way a user would, for the
// end-to-end tests under Wine. One command per run; prints what it finds and
// exits 0 when the expectation holds.
//
//   druvo_probe popup                 right-click release on the tray icon; lists the popup
//   druvo_probe config                opens Config, prints fields 1001-1004, presses OK
//   druvo_probe about-ok|about-escape opens About and closes it
//   druvo_probe launch-quit EXE [ARGS]  starts druvo, About -> Quit, prints its exit status
//   druvo_probe taskbar-created       removes the icon behind druvo's back, broadcasts
//                                     TaskbarCreated and checks the icon is back
//   druvo_probe message TEXT          waits for a message box showing TEXT and presses OK
//   druvo_probe open WHAT             opens about|config|popup and leaves it (screenshots)
//   druvo_probe close                 closes whatever the previous command left open
//   druvo_probe icon-shown            waits until druvo's icon is in the notification area
//   druvo_probe about-twice           asks for About twice; prints how many opened
//   druvo_probe box-open TEXT         waits for a message box showing TEXT, leaves it open
//   druvo_probe start-line LINE       starts a process from exactly this command line
//                                     (as the Run key would) and waits for its tray
//   druvo_probe responsive SECONDS    sends WM_NULL to the frame every 100 ms; fails when
//                                     one goes unanswered for 1 s; prints the slowest
//   druvo_probe popup-pick DOWNS      opens the tray popup and picks the entry DOWNS down
//   druvo_probe pipe REQUEST [NAME] sends REQUEST (j, t, p, r) on the status pipe of the
//                                     service NAME; prints the answer
//   druvo_probe quit                  About -> Quit on the running druvo; prints how long
//                                     its window took to go
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/status_pipe.h"
#include "res/resource.h"

namespace {

constexpr DWORD kWaitMs = 20000;

template <typename Pred>
bool WaitUntil(Pred pred) {
  for (DWORD waited = 0; waited < kWaitMs; waited += 50) {
    if (pred()) return true;
    Sleep(50);
  }
  return pred();
}

HWND FindTray() { return FindWindowA("DruvoTrayWindow", nullptr); }
HWND FindFrame() { return FindWindowA("DruvoMainFrame", nullptr); }
HWND FindDialog(const char* title) { return FindWindowA("#32770", title); }

HWND FindVisibleMenu() {
  HWND menu = FindWindowA("#32768", nullptr);
  return (menu != nullptr && IsWindowVisible(menu)) ? menu : nullptr;
}

struct TextSearch {
  const char* text;
  HWND found;
};

BOOL CALLBACK FindChildWithText(HWND child, LPARAM param) {
  auto* search = reinterpret_cast<TextSearch*>(param);
  char text[256] = {};
  GetWindowTextA(child, text, sizeof text);
  if (std::strstr(text, search->text) != nullptr) {
    search->found = child;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK FindMessageBox(HWND top, LPARAM param) {
  char cls[64] = {};
  GetClassNameA(top, cls, sizeof cls);
  if (std::strcmp(cls, "#32770") != 0) return TRUE;
  auto* search = reinterpret_cast<TextSearch*>(param);
  TextSearch inner{search->text, nullptr};
  EnumChildWindows(top, FindChildWithText, reinterpret_cast<LPARAM>(&inner));
  if (inner.found != nullptr) {
    search->found = top;
    return FALSE;
  }
  return TRUE;
}

void Press(HWND dialog, int id) {
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

bool WaitClosed(const char* title) {
  return WaitUntil([&] { return FindDialog(title) == nullptr; });
}

int Fail(const char* why) {
  std::printf("FAIL: %s\n", why);
  return 1;
}

bool IconPresent(HWND tray) {
  NOTIFYICONDATAA data{};
  data.cbSize = NOTIFYICONDATAA_V1_SIZE;
  data.hWnd = tray;
  data.uID = IDR_TRAY_MENU;
  data.uFlags = 0;
  return Shell_NotifyIconA(NIM_MODIFY, &data) != FALSE;
}

HWND OpenPopup() {
  HWND tray = FindTray();
  if (tray == nullptr) return nullptr;
  PostMessageA(tray, WM_TRAY_NOTIFY, IDR_TRAY_MENU, WM_RBUTTONUP);
  HWND menuWindow = nullptr;
  WaitUntil([&] { return (menuWindow = FindVisibleMenu()) != nullptr; });
  return menuWindow;
}

void Key(HWND window, WPARAM key) {
  PostMessageA(window, WM_KEYDOWN, key, 0);
  PostMessageA(window, WM_KEYUP, key, 0);
}

// Picks the entry reached with `downs` presses of the Down key and reports
// which dialog that opened, then closes it.
bool PopupOpens(int downs, const char* title) {
  HWND menuWindow = OpenPopup();
  if (menuWindow == nullptr) return false;
  for (int i = 0; i < downs; ++i) Key(menuWindow, VK_DOWN);
  Key(menuWindow, VK_RETURN);
  HWND dialog = nullptr;
  if (!WaitUntil([&] { return (dialog = FindDialog(title)) != nullptr; })) return false;
  std::printf("popup entry %d opens \"%s\"\n", downs, title);
  Press(dialog, IDOK);
  return WaitClosed(title);
}

// Picks the entry reached with `downs` presses of the Down key.
int PopupPick(int downs) {
  HWND menuWindow = OpenPopup();
  if (menuWindow == nullptr) return Fail("no popup");
  for (int i = 0; i < downs; ++i) Key(menuWindow, VK_DOWN);
  Key(menuWindow, VK_RETURN);
  return WaitUntil([] { return FindVisibleMenu() == nullptr; }) ? 0 : Fail("the popup stayed");
}

int Popup() {
  // The entries are checked by what they do: the menu's text lives in
  // druvo's process.
  if (!PopupOpens(1, "About Druvo")) return Fail("first entry is not About");
  if (!PopupOpens(2, "Configuration")) return Fail("entry after the separator is not Config");
  return 0;
}

int Open(const char* title, UINT command) {
  HWND frame = FindFrame();
  if (frame == nullptr) return Fail("no frame window");
  PostMessageA(frame, WM_COMMAND, command, 0);
  // Shown once WM_INITDIALOG has filled it in: found before that, its
  // fields may still be empty.
  if (!WaitUntil([&] {
        HWND dialog = FindDialog(title);
        return dialog != nullptr && IsWindowVisible(dialog);
      }))
    return Fail(title);
  return 0;
}

int Config() {
  if (int rc = Open("Configuration", ID_TRAY_CONFIG); rc != 0) return rc;
  HWND dialog = FindDialog("Configuration");
  for (int id : {IDC_CMDLINE, IDC_PRINTER, IDC_SOURCE, IDC_FORCE_DELETE}) {
    char text[600] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    std::printf("%d=%s\n", id, text);
  }
  Press(dialog, IDOK);
  return WaitClosed("Configuration") ? 0 : Fail("Configuration stayed open");
}

int About(bool escape) {
  if (int rc = Open("About Druvo", ID_TRAY_ABOUT); rc != 0) return rc;
  HWND dialog = FindDialog("About Druvo");
  if (escape) {
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);  // what Escape sends
  } else {
    Press(dialog, IDOK);
  }
  if (!WaitClosed("About Druvo")) return Fail("About stayed open");
  return FindFrame() != nullptr ? 0 : Fail("druvo ended");
}

// Starts a process from exactly this command line; its process handle, or null.
HANDLE Start(std::string commandLine) {
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    return nullptr;
  }
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

int LaunchQuit(int argc, char** argv) {
  std::string commandLine = std::string("\"") + argv[2] + "\"";
  for (int i = 3; i < argc; ++i) commandLine += std::string(" ") + argv[i];
  HANDLE process = Start(commandLine);
  if (process == nullptr) return Fail("cannot start druvo");
  int rc = WaitUntil([] { return FindTray() != nullptr && FindFrame() != nullptr; })
               ? 0
               : Fail("no tray");
  if (rc == 0) rc = Open("About Druvo", ID_TRAY_ABOUT);
  if (rc == 0) {
    Press(FindDialog("About Druvo"), IDC_QUIT);
    if (WaitForSingleObject(process, kWaitMs) != WAIT_OBJECT_0) rc = Fail("druvo did not end");
  }
  DWORD status = 259;
  GetExitCodeProcess(process, &status);
  if (rc != 0) TerminateProcess(process, 99);
  CloseHandle(process);
  std::printf("exit=%lu\n", static_cast<unsigned long>(status));
  return rc;
}

int Responsive(int seconds) {
  HWND frame = FindFrame();
  if (frame == nullptr) return Fail("no frame");
  DWORD slowest = 0;
  int unanswered = 0;
  const int rounds = seconds * 10;
  for (int i = 0; i < rounds; ++i) {
    const DWORD start = GetTickCount();
    DWORD_PTR result = 0;
    if (SendMessageTimeoutA(frame, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result) == 0) ++unanswered;
    const DWORD took = GetTickCount() - start;
    if (took > slowest) slowest = took;
    if (took < 100) Sleep(100 - took);
  }
  std::printf("%d of %d unanswered\n", unanswered, rounds);
  std::fprintf(stderr, "slowest answer %lu ms\n", static_cast<unsigned long>(slowest));
  return unanswered == 0 ? 0 : 1;
}

int Quit() {
  if (const int rc = Open("About Druvo", ID_TRAY_ABOUT); rc != 0) return rc;
  const DWORD start = GetTickCount();
  Press(FindDialog("About Druvo"), IDC_QUIT);
  WaitClosed("About Druvo");
  const DWORD closed = GetTickCount() - start;
  if (!WaitUntil([] { return FindFrame() == nullptr; })) return Fail("druvo did not end");
  std::printf("ended in %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
  std::fprintf(stderr, "About closed after %lu ms\n", static_cast<unsigned long>(closed));
  return 0;
}

int TaskbarCreated() {
  HWND tray = FindTray();
  if (tray == nullptr) return Fail("no tray window");
  if (!IconPresent(tray)) return Fail("no icon to begin with");
  // What Explorer's restart looks like to druvo: the icon is gone, then the
  // new taskbar announces itself.
  NOTIFYICONDATAA data{};
  data.cbSize = NOTIFYICONDATAA_V1_SIZE;
  data.hWnd = tray;
  data.uID = IDR_TRAY_MENU;
  Shell_NotifyIconA(NIM_DELETE, &data);
  if (IconPresent(tray)) return Fail("icon could not be removed");
  SendMessageA(tray, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  if (!WaitUntil([&] { return IconPresent(tray); })) return Fail("icon was not added again");
  std::printf("icon added again\n");
  return 0;
}

// Waits for a visible message box showing text; null when none came.
HWND WaitForMessageBox(const char* text) {
  TextSearch search{text, nullptr};
  WaitUntil([&] {
    search.found = nullptr;
    EnumWindows(FindMessageBox, reinterpret_cast<LPARAM>(&search));
    return search.found != nullptr && IsWindowVisible(search.found);
  });
  return search.found != nullptr && IsWindowVisible(search.found) ? search.found : nullptr;
}

int Message(const char* text) {
  HWND box = WaitForMessageBox(text);
  if (box == nullptr) return Fail("no message box");
  char caption[128] = {};
  GetWindowTextA(box, caption, sizeof caption);
  std::printf("message box \"%s\": %s\n", caption, text);
  Press(box, IDOK);
  return 0;
}

int IconShown() {
  HWND tray = FindTray();
  if (tray == nullptr) return Fail("no tray window");
  if (!WaitUntil([&] { return IconPresent(tray); })) return Fail("icon never shown");
  std::printf("icon shown\n");
  return 0;
}

BOOL CALLBACK CountAbout(HWND top, LPARAM param) {
  char title[64] = {};
  GetWindowTextA(top, title, sizeof title);
  if (std::strcmp(title, "About Druvo") == 0 && IsWindowVisible(top))
    ++*reinterpret_cast<int*>(param);
  return TRUE;
}

int AboutTwice() {
  // The second request waits in the queue before the first box has shown.
  PostMessageA(FindFrame(), WM_COMMAND, ID_TRAY_ABOUT, 0);
  if (int rc = Open("About Druvo", ID_TRAY_ABOUT); rc != 0) return rc;
  Sleep(1500);
  int count = 0;
  EnumWindows(CountAbout, reinterpret_cast<LPARAM>(&count));
  std::printf("%d About box(es)\n", count);
  Press(FindDialog("About Druvo"), IDOK);
  if (!WaitClosed("About Druvo")) return Fail("About stayed open");
  Sleep(500);  // one hidden under it would show now
  return FindDialog("About Druvo") == nullptr ? 0 : Fail("a second About opened");
}

// Waits until a message box shows TEXT and leaves it open.
int BoxOpen(const char* text) {
  return WaitForMessageBox(text) != nullptr ? 0 : Fail("no message box");
}

int StartLine(const char* line) {
  HANDLE process = Start(line);
  if (process == nullptr) return Fail("cannot start the command line");
  CloseHandle(process);
  return WaitUntil([] { return FindTray() != nullptr; }) ? 0 : Fail("no tray");
}

// What Event Viewer shows of an event ID with TEXT as its insert: the
// message file comes from the registered source, as the viewer finds it.
int EventMessage(const char* id, const char* text) {
  wchar_t file[MAX_PATH] = {}, expanded[MAX_PATH] = {};
  DWORD size = sizeof file;
  if (RegGetValueW(HKEY_LOCAL_MACHINE,
                   L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Druvo",
                   L"EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file,
                   &size) != ERROR_SUCCESS)
    return Fail("the source Druvo is not registered");
  ExpandEnvironmentStringsW(file, expanded, MAX_PATH);
  HMODULE module = LoadLibraryExW(expanded, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return Fail("cannot load the message file");
  const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(text)};
  char message[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                 module, std::strtoul(id, nullptr, 0), 0, message, sizeof message,
                                 reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
  FreeLibrary(module);
  if (n == 0) return Fail("no message for that ID");
  std::printf("%s", message);
  return 0;
}

BOOL CALLBACK CollectEdits(HWND child, LPARAM param) {
  char cls[16] = {};
  GetClassNameA(child, cls, sizeof cls);
  if (_stricmp(cls, "Edit") == 0 && IsWindowVisible(child))
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
  return TRUE;
}

// Goes through the setup as a technician would: Next past the folder; on
// the page with the printer, the pattern and the metrics file, a printer
// holding a double quote first (the page must refuse it and stay), then
// the right values; Next, then Close once installed.
BOOL CALLBACK FindSetupWindow(HWND top, LPARAM param) {
  char title[64] = {};
  GetWindowTextA(top, title, sizeof title);
  if (std::strncmp(title, "Druvo Setup", 11) != 0 || !IsWindowVisible(top)) return TRUE;
  *reinterpret_cast<HWND*>(param) = top;
  return FALSE;
}

HWND FindSetup() {  // its caption is "Druvo Setup" and a page's name
  HWND found = nullptr;
  EnumWindows(FindSetupWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

int SetupPage(char** values) {
  HWND setup = nullptr;
  std::vector<HWND> edits;
  const auto page = [&] {
    setup = FindSetup();
    edits.clear();
    if (setup != nullptr) EnumChildWindows(setup, CollectEdits, reinterpret_cast<LPARAM>(&edits));
    return edits.size() == 3;
  };
  if (!WaitUntil([&] {
        if (page()) return true;
        if (setup != nullptr) Press(setup, IDOK);  // Next
        Sleep(300);
        return false;
      }))
    return Fail("no page with three fields");
  const auto fill = [&](const char* printer) {
    SendMessageA(edits[0], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(printer));
    SendMessageA(edits[1], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(values[2]));
    SendMessageA(edits[2], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(values[3]));
    Press(setup, IDOK);
  };
  fill(values[0]);
  HWND box = WaitForMessageBox("holds a double quote");
  if (box == nullptr) return Fail("a double quote was taken");
  Press(box, IDOK);
  if (!WaitUntil(page)) return Fail("the page did not stay");
  fill(values[1]);
  if (!WaitUntil([&] {
        HWND now = FindSetup();
        if (now == nullptr) return true;
        Press(now, IDOK);  // Close, once installed
        Sleep(300);
        return false;
      }))
    return Fail("the setup did not end");
  std::printf("refused a quote; installed\n");
  return 0;
}

int Close() {
  if (HWND menu = FindVisibleMenu()) PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
  for (const char* title : {"About Druvo", "Configuration"}) {
    if (HWND dialog = FindDialog(title)) Press(dialog, IDOK);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Fail("usage: druvo_probe COMMAND");
  const std::string command = argv[1];
  if (command == "wait")
    return WaitUntil([] { return FindTray() != nullptr; }) ? 0 : Fail("no tray");
  if (command == "popup") return Popup();
  if (command == "popup-pick" && argc >= 3) return PopupPick(std::atoi(argv[2]));
  if (command == "config") return Config();
  if (command == "about-ok") return About(false);
  if (command == "about-escape") return About(true);
  if (command == "launch-quit" && argc >= 3) return LaunchQuit(argc, argv);
  if (command == "taskbar-created") return TaskbarCreated();
  if (command == "message" && argc >= 3) return Message(argv[2]);
  if (command == "open" && argc >= 3) {
    const std::string what = argv[2];
    if (what == "popup") return OpenPopup() != nullptr ? 0 : Fail("no popup");
    if (what == "about") return Open("About Druvo", ID_TRAY_ABOUT);
    if (what == "config") return Open("Configuration", ID_TRAY_CONFIG);
  }
  if (command == "close") return Close();
  if (command == "icon-shown") return IconShown();
  if (command == "about-twice") return AboutTwice();
  if (command == "pipe" && argc >= 3) {
    std::string answer;
    if (!druvo::AskStatusPipe(argc >= 4 ? argv[3] : "", argv[2][0], &answer, 5000))
      return Fail("no answer on the pipe");
    std::printf("%s", answer.c_str());
    return 0;
  }
  if (command == "box-open" && argc >= 3) return BoxOpen(argv[2]);
  if (command == "start-line" && argc >= 3) return StartLine(argv[2]);
  if (command == "responsive" && argc >= 3) return Responsive(std::atoi(argv[2]));
  if (command == "quit") return Quit();
  if (command == "event-message" && argc >= 4) return EventMessage(argv[2], argv[3]);
  if (command == "setup-page" && argc >= 6) return SetupPage(argv + 2);
  return Fail("unknown command");
}
