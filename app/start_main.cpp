// The library's one export. StartMain runs the whole program on the caller's thread: it
// switches the thread to this library's module state (so templates, icons, the bitmap and the
// menu are found here, not in the calling program), runs the main window modally, and
// returns once Exit was confirmed and the window and its members are gone. The caller's
// module state comes back when `state` goes out of scope, after the window object. The start
// and the end are reported to the Windows event log (log/event_log.h).
#include "app/converter_dlg.h"
#include "app/product.h"
#include "log/event_log.h"
#include "ui/module_state.h"

extern "C" __declspec(dllexport) void StartMain()
{
    AFX_MAINTAIN_STATE2 state(AfxGetStaticModuleState());
    EventLog::Report(EventLog::Started(PRODUCT_VERSION));
    CConverterDlg dlg(nullptr);
    dlg.DoModal();
    EventLog::Report(EventLog::Ended());
}
