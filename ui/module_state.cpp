#include "ui/module_state.h"

#include <cstring>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

void FillState(AFX_MODULE_STATE& state, HINSTANCE hModule)
{
    state.m_hResource = hModule;
    char szPath[MAX_PATH] = {0};
    GetModuleFileNameA(hModule, szPath, MAX_PATH - 1);
    const char* pszBase = strrchr(szPath, '\\');
    pszBase = pszBase ? pszBase + 1 : szPath;
    lstrcpynA(state.m_szAppName, pszBase, MAX_PATH);
    if (char* pDot = strrchr(state.m_szAppName, '.'))
        *pDot = '\0';
}

thread_local AFX_MODULE_STATE* t_pCurrentState = nullptr;

} // namespace

AFX_MODULE_STATE* AfxGetAppModuleState()
{
    static AFX_MODULE_STATE s_state = [] {
        AFX_MODULE_STATE state{};
        FillState(state, GetModuleHandleA(nullptr));
        return state;
    }();
    return &s_state;
}

AFX_MODULE_STATE* AfxGetStaticModuleState()
{
    static AFX_MODULE_STATE s_state = [] {
        AFX_MODULE_STATE state{};
        FillState(state, reinterpret_cast<HINSTANCE>(&__ImageBase));
        return state;
    }();
    return &s_state;
}

AFX_MODULE_STATE* AfxGetModuleState()
{
    return t_pCurrentState ? t_pCurrentState : AfxGetAppModuleState();
}

void AfxSetModuleState(AFX_MODULE_STATE* pState)
{
    t_pCurrentState = pState;
}

HINSTANCE AfxGetResourceHandle()
{
    return AfxGetModuleState()->m_hResource;
}

HINSTANCE AfxFindResourceHandle(LPCSTR, LPCSTR)
{
    return AfxGetResourceHandle();
}

AFX_MAINTAIN_STATE2::AFX_MAINTAIN_STATE2(AFX_MODULE_STATE* pNewState)
    : m_pPrevState(t_pCurrentState)
{
    t_pCurrentState = pNewState;
}

AFX_MAINTAIN_STATE2::~AFX_MAINTAIN_STATE2()
{
    t_pCurrentState = m_pPrevState;
}
