// Resource and command ids, shared by the C++ code and druvo.rc.
#pragma once

#define IDD_ABOUT 100
#define IDR_FRAME 128
#define IDS_DOC_TEMPLATE 129
#define IDI_TRAY_IDLE 130
#define IDI_TRAY_ERROR 131
#define IDI_TRAY_BUSY 132
#define IDR_TRAY_MENU 133
#define IDD_CONFIG 134

#define IDC_QUIT 1000
#define IDC_CMDLINE 1001
#define IDC_PRINTER 1002
#define IDC_SOURCE 1003
#define IDC_FORCE_DELETE 1004

#define ID_TRAY_ABOUT 32771
#define ID_TRAY_CONFIG 32772
// A view's own entry, after the menu's: pause or resume the service.
#define ID_VIEW_PAUSE 32773
#define ID_VIEW_RESUME 32774

// Command and string ids the frame resources use.
#define AFX_IDS_APP_TITLE 57344
#define AFX_IDS_IDLEMESSAGE 57345
#define ID_FILE_NEW 57600
#define ID_FILE_OPEN 57601
#define ID_FILE_SAVE 57603
#define ID_FILE_PRINT 57607
#define ID_FILE_PRINT_SETUP 57606
#define ID_FILE_MRU_FILE1 57616
#define ID_EDIT_UNDO 57643
#define ID_EDIT_CUT 57635
#define ID_EDIT_COPY 57634
#define ID_EDIT_PASTE 57637
#define ID_APP_ABOUT 57664
#define ID_APP_EXIT 57665
#define ID_NEXT_PANE 57680
#define ID_PREV_PANE 57681
#define ID_VIEW_TOOLBAR 59392
#define ID_VIEW_STATUS_BAR 59393

#define WM_TRAY_NOTIFY (0x0400 + 10)
#define SPOOL_TIMER_ID 1
