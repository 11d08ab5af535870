// Message tables: which member handles which window message, as a table of rows.
//
// Each dialog class keeps one static array of rows and answers ProcessWindowMessage by
// walking it with DispatchMessageTable; the first matching row wins. Three kinds of row:
//   MessageHandler(WM_X, &C::OnX)            LRESULT OnX(WPARAM, LPARAM)
//   RegisteredMessageHandler(&uMsg, &C::OnX)  the same, for a message number registered at
//                                             load time (RegisterWindowMessage)
//   CommandHandler(code, id, &C::OnX)         void OnX(), for WM_COMMAND with that notification
//                                             code (0: menu command or BN_CLICKED) and id
// A handler that wants the platform's default processing as well calls SetMsgHandled(false)
// (see CDialog); otherwise the row counts as handled and its result is the message's result.
#pragma once
#include <windows.h>

#include <cstddef>

template <class T>
struct MessageRow {
    UINT uMsg;                  // message number; 0 for a registered-message row
    const UINT* puRegistered;   // registered message number, read at dispatch time
    WORD wCode;                 // WM_COMMAND rows: notification code
    WORD wId;                   // WM_COMMAND rows: control or command id
    LRESULT (T::*pfnMessage)(WPARAM, LPARAM);
    void (T::*pfnCommand)();
};

template <class T>
constexpr MessageRow<T> MessageHandler(UINT uMsg, LRESULT (T::*pfn)(WPARAM, LPARAM))
{
    return {uMsg, nullptr, 0, 0, pfn, nullptr};
}

template <class T>
constexpr MessageRow<T> RegisteredMessageHandler(const UINT* puMsg,
                                                 LRESULT (T::*pfn)(WPARAM, LPARAM))
{
    return {0, puMsg, 0, 0, pfn, nullptr};
}

template <class T>
constexpr MessageRow<T> CommandHandler(WORD wCode, WORD wId, void (T::*pfn)())
{
    return {WM_COMMAND, nullptr, wCode, wId, nullptr, pfn};
}

// Finds the row for the message and calls its handler on pThis. Returns true when a row
// matched and its handler did not ask for default processing; lResult then holds the result.
// IsHandled() reads the flag that SetMsgHandled wrote for the current message.
template <class T, std::size_t N>
bool DispatchMessageTable(T* pThis, const MessageRow<T> (&rows)[N], UINT uMsg, WPARAM wParam,
                          LPARAM lParam, LRESULT& lResult)
{
    for (const MessageRow<T>& row : rows) {
        if (row.puRegistered != nullptr) {
            if (*row.puRegistered == 0 || *row.puRegistered != uMsg)
                continue;
        } else if (row.uMsg != uMsg) {
            continue;
        }
        pThis->SetMsgHandled(true);
        if (row.pfnCommand != nullptr) {
            if (HIWORD(wParam) != row.wCode || LOWORD(wParam) != row.wId)
                continue;
            (pThis->*row.pfnCommand)();
            lResult = 0;
        } else {
            lResult = (pThis->*row.pfnMessage)(wParam, lParam);
        }
        return pThis->IsMsgHandled();
    }
    return false;
}
