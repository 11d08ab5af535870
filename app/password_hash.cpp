// The stored form of the settings password and the comparisons; see password_hash.h.
#include "app/password_hash.h"

#include <cstdlib>

namespace {

constexpr char kScheme[] = "PBKDF2-SHA256";
constexpr std::size_t SALT_MAX_BYTES = 64;

std::string Hex(const std::vector<std::uint8_t>& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string strHex;
    for (const std::uint8_t by : bytes) {
        strHex += kDigits[by >> 4];
        strHex += kDigits[by & 0xF];
    }
    return strHex;
}

int Nibble(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool FromHex(const std::string& strHex, std::vector<std::uint8_t>& bytes)
{
    if (strHex.empty() || strHex.size() % 2 != 0)
        return false;
    bytes.clear();
    for (std::size_t i = 0; i < strHex.size(); i += 2) {
        const int nHigh = Nibble(strHex[i]), nLow = Nibble(strHex[i + 1]);
        if (nHigh < 0 || nLow < 0)
            return false;
        bytes.push_back(static_cast<std::uint8_t>(nHigh << 4 | nLow));
    }
    return true;
}

// Splits "a$b$c$d" into its fields.
std::vector<std::string> Fields(const std::string& strText)
{
    std::vector<std::string> fields(1);
    for (const char c : strText) {
        if (c == '$')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

}  // namespace

std::string FormatPasswordHash(const PasswordHash& stored)
{
    return std::string(kScheme) + "$" + std::to_string(stored.nIterations) + "$" +
           Hex(stored.salt) + "$" + Hex(stored.hash);
}

bool ParsePasswordHash(const std::string& strText, PasswordHash& stored)
{
    const std::vector<std::string> fields = Fields(strText);
    if (fields.size() != 4 || fields[0] != kScheme || fields[1].empty() || fields[1].size() > 9 ||
        fields[1].find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long nIterations = std::strtoul(fields[1].c_str(), nullptr, 10);
    if (nIterations < PASSWORD_HASH_MIN_ITERATIONS || nIterations > PASSWORD_HASH_MAX_ITERATIONS)
        return false;
    stored.nIterations = static_cast<unsigned>(nIterations);
    return FromHex(fields[2], stored.salt) && stored.salt.size() >= PASSWORD_SALT_BYTES &&
           stored.salt.size() <= SALT_MAX_BYTES && FromHex(fields[3], stored.hash) &&
           stored.hash.size() == PASSWORD_HASH_BYTES;
}

bool SameBytes(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b)
{
    if (a.size() != b.size())
        return false;  // sizes are fixed by the format: they tell nothing of the password
    unsigned nDiff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        nDiff |= static_cast<unsigned>(a[i] ^ b[i]);
    return nDiff == 0;
}

bool SameText(const std::string& strTyped, const std::string& strExpected)
{
    // Every typed byte is compared (against the expected text, or against NUL past its end).
    unsigned nDiff = strTyped.size() == strExpected.size() ? 0u : 1u;
    for (std::size_t i = 0; i < strTyped.size(); ++i) {
        const char cExpected = i < strExpected.size() ? strExpected[i] : '\0';
        nDiff |= static_cast<unsigned char>(strTyped[i] ^ cExpected);
    }
    return nDiff == 0;
}

std::uint64_t CPasswordLockout::RemainingMs(std::uint64_t nNowMs) const
{
    return nNowMs < m_nLockedUntilMs ? m_nLockedUntilMs - nNowMs : 0;
}

bool CPasswordLockout::Failed(std::uint64_t nNowMs)
{
    if (++m_nFailures < PASSWORD_LOCKOUT_FAILURES)
        return false;
    m_nFailures = 0;
    m_nLockedUntilMs = nNowMs + PASSWORD_LOCKOUT_MS;
    return true;
}
