// Resource identifiers of both programs.
#pragma once
#define IDR_MAINFRAME           129   // program icon
#define IDB_SPLASH              133   // splash bitmap, 358 x 220, 256 colours
#define IDD_PROGRESS            105   // setup progress dialog
#define IDD_GREETING            134
#define IDD_LICENSE             135
#define IDC_PROGRESS            1006
#define IDC_STATUS_TEXT         1007
#define IDC_GREETING_PICTURE    1003
#define IDC_LICENSE_HEADER      1004
#define IDC_LICENSE_TEXT        1005
