// Window handle wrappers: the base the dialogs and the control wrappers share.
//
// A CWnd holds one window handle and forwards a few calls to the platform. It owns nothing:
// destroying the object leaves the window alone, and the dialog that binds a control
// (DDX_Control) simply stores the control's handle. Every call runs on the thread that owns
// the window unless it is a plain SendMessage, which the platform routes to that thread.
// Texts are narrow code page 949 strings, so the ANSI functions are used throughout.
#pragma once
#include <windows.h>

#include <string>

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const { return m_hWnd; }
    BOOL ShowWindow(int nCmdShow) const { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    HWND GetDlgItem(int nID) const { return ::GetDlgItem(m_hWnd, nID); }
    LRESULT Send(UINT uMsg, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::SendMessageA(m_hWnd, uMsg, wParam, lParam);
    }
    void SetText(const std::string& strText) const { ::SetWindowTextA(m_hWnd, strText.c_str()); }
    std::string GetText() const;

    // The window; null until created or bound, and again once destroyed (dialogs only).
    // Written by the thread that owns the window.
    HWND m_hWnd = nullptr;
};

// The combo-box control (drop-down list with or without an edit field).
class CComboBox : public CWnd {
public:
    int AddString(const char* pszText) const
    {
        return static_cast<int>(Send(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(pszText)));
    }
    int SetCurSel(int nIndex) const { return static_cast<int>(Send(CB_SETCURSEL, nIndex)); }
    int GetCurSel() const { return static_cast<int>(Send(CB_GETCURSEL)); }
    int GetCount() const { return static_cast<int>(Send(CB_GETCOUNT)); }
};

// The edit control.
class CEdit : public CWnd {
public:
    void SetSel(int nStart, int nEnd) const { Send(EM_SETSEL, nStart, nEnd); }
    void ReplaceSel(const char* pszText) const
    {
        Send(EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(pszText));
    }
    BOOL SetReadOnly(BOOL bReadOnly) const { return static_cast<BOOL>(Send(EM_SETREADONLY, bReadOnly)); }
    int GetLineCount() const { return static_cast<int>(Send(EM_GETLINECOUNT)); }
};
