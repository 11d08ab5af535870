// The about box: the framework's initialisation, then the caption "%s %s" from the product
// title and version. UI thread.
#include "app/about_dlg.h"

#include "app/product.h"
#include "log/relay_health.h"
#include "res/resource.h"
#include "ui/string_format.h"

CAboutDlg::CAboutDlg(HWND hWndParent) : CDialog(IDD_ABOUTBOX, hWndParent)
{
}

BOOL CAboutDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_strTitle = StringPrintf("%s %s", PRODUCT_TITLE, PRODUCT_VERSION);
    SetText(m_strTitle);
    // The time since start and the last served connection, as of the opening.
    ::SetDlgItemTextA(m_hWnd, IDC_ABOUT_HEALTH, RelayHealth::AboutText().c_str());
    return TRUE;
}
