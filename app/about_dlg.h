// The about box (template 100): its caption is the product title and version; below the
// copyright, the time since start and the time of the last served connection. A new object
// is made for each showing; its OK button (and Escape, and the close box) end it.
#pragma once
#include <string>

#include "ui/dialog.h"

class CAboutDlg : public CDialog {
public:
    explicit CAboutDlg(HWND hWndParent = nullptr);

    std::string m_strTitle;

protected:
    BOOL OnInitDialog() override;
};
