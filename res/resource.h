// Resource and command identifiers, shared by the .rc script and the code.
#pragma once

#define IDD_ABOUTBOX        100
#define IDD_CONVERTER       102
#define IDD_DEBUG           134
#define IDD_PASSWORD        141

#define IDB_LOGO            130
#define ICON_IDLE           131
#define ICON_TRAFFIC        132
#define IDR_TRAY_MENU       133
#define IDI_DEBUG           137
#define IDI_PASSWORD        142

#define IDC_COMBO_PORT      1000
#define IDC_BUTTON_SET      1001
#define IDC_EDIT_LOG        1002
#define IDC_BUTTON_CLEAR    1003
#define IDC_BUTTON_HIDE     1004
#define IDC_EDIT_PASSWORD   1006
#define IDC_BUTTON_PASSWORD 1007
#define IDC_ABOUT_HEALTH    1021

#define ID_TRAY_ABOUT       32771
#define ID_TRAY_SETTINGS    32772
#define ID_TRAY_DEBUG       32773
#define ID_TRAY_EXIT        32774
#define ID_TRAY_COLLECT     32775  // writes the diagnostics bundle
