// The About box (with the only Quit of the program) and the read-only
// configuration view.
#pragma once

#include "core/settings.h"
#include "tray/window.h"

namespace druvo {

class CAboutBox : public Dialog {
 public:
  CAboutBox();

 protected:
  bool OnCommand(WORD id) override;  // IDOK, IDCANCEL (Escape), IDC_QUIT -> 0
};

class CConfigDialog : public Dialog {
 public:
  explicit CConfigDialog(const SpoolSettings& settings);

 protected:
  BOOL OnInitDialog() override;

 private:
  const SpoolSettings& settings_;
};

}  // namespace druvo
