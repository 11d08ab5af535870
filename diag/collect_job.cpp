// The tray item's bundle thread; see collect_job.h.
#include "diag/collect_job.h"

CCollectJob::~CCollectJob()
{
    m_bCancel = true;
    if (m_thread.joinable())
        m_thread.join();
}

bool CCollectJob::Start(CollectRequest request, HWND hNotify, UINT uDoneMsg)
{
    if (m_thread.joinable())
        return false;
    m_bCancel = false;
    m_bFinished = false;
    request.pCancel = &m_bCancel;
    try {
        m_thread = std::thread([this, request, hNotify, uDoneMsg] {
            m_result = CollectBundle(request);
            m_bFinished = true;
            ::PostMessageW(hNotify, uDoneMsg, 0, 0);
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool CCollectJob::TakeResult(CollectResult* pResult)
{
    if (!m_thread.joinable() || !m_bFinished)
        return false;
    m_thread.join();
    *pResult = m_result;
    return true;
}
