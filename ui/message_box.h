// The application message box: MessageBoxA owned by the thread's active window, captioned with
// the current module state's application name.
#pragma once
#include <windows.h>

int AfxMessageBox(LPCSTR lpszText, UINT nType = MB_OK);
