// The tray item "진단 정보 저장(&D)...": writes the diagnostics bundle to the desktop on a
// thread of its own (diag/collect_job.h) and says where it went. No password: the bundle
// holds nothing the shop's staff may not see (card numbers in the log files are masked). UI
// thread.
#include "app/converter_dlg.h"
#include "log/relay_health.h"
#include "app/product.h"

namespace {

constexpr UINT DONE_BOX = MB_OK | MB_ICONINFORMATION;
constexpr UINT FAILED_BOX = MB_OK | MB_ICONHAND;
constexpr UINT BUSY_BOX = MB_OK | MB_ICONEXCLAMATION;

} // namespace

void CConverterDlg::OnTrayCollect()
{
    CollectResult busy;
    busy.status = CollectStatus::Busy;
    if (m_collectJob.Running()) {
        ::MessageBoxA(m_hWnd, CollectResultText(busy).c_str(), PRODUCT_TITLE, BUSY_BOX);
        return;
    }
    CollectRequest request;
    request.strHealth = RelayHealth::ReportText();
    if (!m_collectJob.Start(request, m_hWnd, WM_COLLECT_DONE)) {
        CollectResult failed;
        failed.dwError = ERROR_NOT_ENOUGH_MEMORY;
        ::MessageBoxA(m_hWnd, CollectResultText(failed).c_str(), PRODUCT_TITLE, FAILED_BOX);
    }
}

LRESULT CConverterDlg::OnCollectDone(WPARAM, LPARAM)
{
    CollectResult result;
    if (!m_collectJob.TakeResult(&result))
        return 0;  // not ours, or already taken
    const UINT uStyle = result.status == CollectStatus::Done   ? DONE_BOX
                        : result.status == CollectStatus::Busy ? BUSY_BOX
                                                               : FAILED_BOX;
    ::MessageBoxA(m_hWnd, CollectResultText(result).c_str(), PRODUCT_TITLE, uStyle);
    return 0;
}
