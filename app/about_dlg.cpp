// The about box: the framework's initialisation, then the caption "%s %s" from the product
// title and version. UI thread.
#include "app/about_dlg.h"

#include "app/product.h"
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
    return TRUE;
}
