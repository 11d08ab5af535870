// One relay per serial port, also where the platform lets two programs open one port.
//
// Windows opens a COM port exclusively, but Wine lets a second program open it and the two
// then share its bytes in any split. A relay therefore claims the port before it opens the
// device: it creates a mutex named after the port (PortClaimName) in the session's namespace
// and keeps the handle while it holds the port. The mutex is never owned or waited for: that
// it exists is the claim, so the claim belongs to no thread, needs no wait, and goes with the
// last handle, also when a relay's process ends without closing it. A create that finds the
// object already there (ERROR_ALREADY_EXISTS) means another relay of this session, or another
// port object of this process, holds the port.
//
// Used by CCom on the user-interface thread only.
#pragma once
#include <windows.h>

#include <string>

class CPortClaim {
public:
    CPortClaim() = default;
    ~CPortClaim() { Release(); }
    CPortClaim(const CPortClaim&) = delete;
    CPortClaim& operator=(const CPortClaim&) = delete;

    // Claims the port named strPortName (any spelling). False when someone else holds it, or
    // when the claim cannot be made at all (then the port cannot be shown to be free). A claim
    // already held by this object is released first.
    bool Take(const std::string& strPortName);
    void Release();
    bool Held() const { return m_hMutex != nullptr; }

private:
    HANDLE m_hMutex = nullptr;  // the claim while held
};
