// One icon in the notification area: its picture, its tooltip, and the popup
// menu its mouse actions open for the application's main window.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "tray/window.h"

namespace druvo {

constexpr const char* kTooltipTooLongMessage =
    "Tray only supports tooltip text up to 64 characters\nStart aplication from C:\\ZEV000 folder "
    "!!";

class CSystemTray : public Window {
 public:
  CSystemTray();
  ~CSystemTray() override;

  BOOL AddIcon(Window* parent, UINT callbackMessage, const char* tip, HICON icon, UINT id);
  void DeleteIcon();
  BOOL ChangeIcon(HICON icon);
  BOOL ChangeIconById(int iconId);
  BOOL SetDefaultItem(UINT item, BOOL byPosition);
  virtual LRESULT OnTrayNotify(WPARAM wParam, LPARAM lParam);
  // Replaces the tooltip (cut to what the notification area holds).
  void SetTooltip(const char* tip);
  // Adds the icon again when it is wanted but not showing (Explorer not
  // started yet, or restarted). True when it is showing afterwards.
  bool EnsureShown();

  static bool IconShown() { return iconShown_; }
  bool IconWanted() const { return iconWanted_; }
  // The tooltip text did not fit: the program is to end quietly.
  bool TipTooLong() const { return tipTooLong_; }
  // An entry after the menu's own, below a separator; 0 for none.
  void SetExtraItem(UINT command, const std::string& text) {
    extraCommand_ = command;
    extraText_ = text;
  }

 protected:
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  // Explorer forgets its icons when it restarts and then broadcasts this.
  void OnTaskbarCreated();
  BOOL NotifyAdd();

  NOTIFYICONDATAA data_;
  UINT defaultItem_ = 0;
  BOOL defaultByPosition_ = TRUE;
  bool iconWanted_ = false;
  bool tipTooLong_ = false;
  UINT extraCommand_ = 0;
  std::string extraText_;
  static bool iconShown_;
};

}  // namespace druvo
