// Window handle wrappers: the calls that need more than one line.
#include "ui/wnd.h"

#include <vector>

std::string CWnd::GetText() const
{
    int nLength = ::GetWindowTextLengthA(m_hWnd);
    if (nLength <= 0)
        return std::string();
    std::vector<char> buffer(static_cast<size_t>(nLength) + 1, '\0');
    int nCopied = ::GetWindowTextA(m_hWnd, buffer.data(), nLength + 1);
    return std::string(buffer.data(), nCopied > 0 ? static_cast<size_t>(nCopied) : 0);
}
