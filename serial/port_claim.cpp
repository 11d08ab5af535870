// The port claim (see port_claim.h): a named mutex that exists while a relay holds the port.
#include "serial/port_claim.h"

#include "serial/port_name.h"

bool CPortClaim::Take(const std::string& strPortName)
{
    Release();
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, PortClaimName(strPortName).c_str());
    if (!hMutex)
        return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(hMutex);
        return false;
    }
    m_hMutex = hMutex;
    return true;
}

void CPortClaim::Release()
{
    if (m_hMutex) {
        CloseHandle(m_hMutex);
        m_hMutex = nullptr;
    }
}
