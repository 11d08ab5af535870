// Holds a critical section for one scope (the tray icon's record and request locks).
#pragma once
#include <windows.h>

class CLockScope {
public:
    explicit CLockScope(CRITICAL_SECTION& cs) : m_cs(cs) { ::EnterCriticalSection(&m_cs); }
    ~CLockScope() { ::LeaveCriticalSection(&m_cs); }
    CLockScope(const CLockScope&) = delete;
    CLockScope& operator=(const CLockScope&) = delete;

private:
    CRITICAL_SECTION& m_cs;
};
