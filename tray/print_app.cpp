// The application object: reads the command line, creates the hidden frame
// and runs the message loop.
#include <windows.h>

#include "core/settings.h"
#include "tray/main_frame.h"

namespace druvo {

class CPrintApp {
 public:
  BOOL InitInstance() {
    LoadDefaultSettings();
    ReadCommandLineText(Settings(), GetCommandLineA(), CommandLineRules::Windows);
    frame_ = std::make_unique<CMainFrame>(Settings());
    if (!frame_->LoadFrame()) {
      frame_.reset();
      return FALSE;
    }
    SetAppMainWindow(frame_->Handle());
    return TRUE;  // the frame stays hidden: the tray icon is all the user sees
  }
  int Run() { return RunMessageLoop(); }

 private:
  std::unique_ptr<CMainFrame> frame_;
};

}  // namespace druvo

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  static druvo::CPrintApp app;
  if (!app.InitInstance()) return 1;
  return app.Run();
}
