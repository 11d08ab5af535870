#include "ui/message_box.h"

#include "ui/module_state.h"

int AfxMessageBox(LPCSTR lpszText, UINT nType)
{
    return MessageBoxA(GetActiveWindow(), lpszText, AfxGetModuleState()->m_szAppName, nType);
}
