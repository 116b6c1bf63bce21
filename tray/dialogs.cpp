#include "tray/dialogs.h"

#include "platform/win32/win32_ports.h"
#include "res/resource.h"

namespace druvo {

CAboutBox::CAboutBox() : Dialog(IDD_ABOUT) {}

bool CAboutBox::OnCommand(WORD id) {
  if (id == IDC_QUIT) {
    EndDialog(0);
    return true;
  }
  return Dialog::OnCommand(id);
}

CConfigDialog::CConfigDialog(const SpoolSettings& settings)
    : Dialog(IDD_CONFIG), settings_(settings) {}

BOOL CConfigDialog::OnInitDialog() {
  // The settings are UTF-8: shown as typed, in any language.
  SetDlgItemTextW(Handle(), IDC_CMDLINE, WideFromUtf8(settings_.commandLine).c_str());
  SetDlgItemTextW(Handle(), IDC_PRINTER, WideFromUtf8(settings_.printerName).c_str());
  SetDlgItemTextW(Handle(), IDC_SOURCE, WideFromUtf8(settings_.fileSource).c_str());
  SetDlgItemTextA(Handle(), IDC_FORCE_DELETE, settings_.forceDelete != 0 ? "TRUE" : "FALSE");
  return TRUE;
}

}  // namespace druvo
