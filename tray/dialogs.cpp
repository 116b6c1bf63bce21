#include "tray/dialogs.h"

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
  SetDlgItemTextA(Handle(), IDC_CMDLINE, settings_.commandLine);
  SetDlgItemTextA(Handle(), IDC_PRINTER, settings_.printerName);
  SetDlgItemTextA(Handle(), IDC_SOURCE, settings_.fileSource);
  SetDlgItemTextA(Handle(), IDC_FORCE_DELETE, settings_.forceDelete != 0 ? "TRUE" : "FALSE");
  return TRUE;
}

}  // namespace druvo
