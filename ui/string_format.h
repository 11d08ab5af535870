// printf-style formatting into a std::string, for captions, message-box texts and status
// lines. The result is as long as the text needs: no fixed buffer to overrun. No Windows
// header; usable from any thread.
#pragma once
#include <cstdarg>
#include <cstdio>
#include <string>

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline std::string StringPrintf(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    va_list copy;
    va_copy(copy, args);
    int nLength = std::vsnprintf(nullptr, 0, pszFormat, copy);
    va_end(copy);
    std::string strText;
    if (nLength > 0) {
        strText.resize(static_cast<size_t>(nLength) + 1);
        std::vsnprintf(&strText[0], strText.size(), pszFormat, args);
        strText.resize(static_cast<size_t>(nLength));
    }
    va_end(args);
    return strText;
}
