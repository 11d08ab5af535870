// Connect request recognition and parsing; see connect_request.h for the frame layout and
// why the digit test covers every one of the 16 bytes.
#include "relay/connect_request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int DIGITS_OFFSET = 1;   // first address digit
constexpr int DIGITS_COUNT = 16;   // 4 groups of 3, then 4 port digits
constexpr int GROUP_DIGITS = 3;
constexpr int PORT_OFFSET = 13;
constexpr int PORT_DIGITS = 4;
constexpr int CHECK_OFFSET = 17;   // must repeat an SSL kind byte unless the kind is plain

bool IsSslKind(unsigned char by)
{
    return by == CONNECT_KIND_SSL_CR || by == CONNECT_KIND_SSL_BANG;
}

// atoi of nDigits bytes at pDigits, through a NUL-terminated copy (pDigits has no NUL).
int DigitsToInt(const unsigned char* pDigits, int nDigits)
{
    char szText[PORT_DIGITS + 1] = {};
    std::memcpy(szText, pDigits, static_cast<size_t>(nDigits));
    return std::atoi(szText);
}

}  // namespace

int IsAllDigits(const char* pszText)
{
    for (const char* p = pszText; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
    }
    return 1;
}

bool IsConnectRequest(const unsigned char* pFrame, int nCount)
{
    if (nCount < CONNECT_REQUEST_MIN)
        return false;
    const unsigned char byKind = pFrame[0];
    if (byKind == CONNECT_KIND_PLAIN)
        return true;
    return IsSslKind(byKind) && IsSslKind(pFrame[CHECK_OFFSET]);
}

bool ParseConnectRequest(const unsigned char* pFrame, int nCount, ConnectTarget* pOut)
{
    if (!IsConnectRequest(pFrame, nCount))
        return false;

    // The 16 digit bytes as a text: a zero byte among them shortens it, and a short text
    // fails just as a non-digit does.
    char szDigits[DIGITS_COUNT + 1] = {};
    std::memcpy(szDigits, pFrame + DIGITS_OFFSET, DIGITS_COUNT);
    if (std::strlen(szDigits) != DIGITS_COUNT || !IsAllDigits(szDigits))
        return false;

    int anGroup[4];
    for (int i = 0; i < 4; ++i)
        anGroup[i] = DigitsToInt(pFrame + DIGITS_OFFSET + i * GROUP_DIGITS, GROUP_DIGITS);

    ConnectTarget target = {};
    target.bSsl = IsSslKind(pFrame[0]);
    // At most 3 digits a group: 15 characters and the NUL fit the 16 bytes.
    std::snprintf(target.szHostAddr, sizeof target.szHostAddr, "%d.%d.%d.%d",
                  anGroup[0], anGroup[1], anGroup[2], anGroup[3]);
    target.nHostPort = DigitsToInt(pFrame + PORT_OFFSET, PORT_DIGITS);
    *pOut = target;
    return true;
}
