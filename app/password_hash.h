// The site's own settings password, as it is stored and checked: the rules that need no
// window, so they are tested natively.
//
// Only a salted PBKDF2-SHA256 hash is stored, as one REG_SZ text:
//     PBKDF2-SHA256$<iterations>$<salt, hex>$<hash, hex>
// so a support desk can see what it holds and nobody can read the password back. The hash is
// taken over the password's UTF-8 bytes, whichever way it was typed (console, standard input,
// the installer, the password window in code page 949).
//
// A check must take the same time whatever part of the text matches, so the comparisons here
// never stop at the first difference. After PASSWORD_LOCKOUT_FAILURES wrong passwords in a row
// the window refuses every attempt for PASSWORD_LOCKOUT_MS, with the clock given by the caller.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr unsigned PASSWORD_HASH_ITERATIONS = 120000;  // what a new password gets
constexpr unsigned PASSWORD_HASH_MIN_ITERATIONS = 100000;
// A stored count above this is refused: the window's check runs on the UI thread.
constexpr unsigned PASSWORD_HASH_MAX_ITERATIONS = 2000000;
constexpr std::size_t PASSWORD_SALT_BYTES = 16;
constexpr std::size_t PASSWORD_HASH_BYTES = 32;  // SHA-256
constexpr int PASSWORD_LOCKOUT_FAILURES = 5;
constexpr std::uint64_t PASSWORD_LOCKOUT_MS = 30000;

struct PasswordHash {
    unsigned nIterations = 0;
    std::vector<std::uint8_t> salt;
    std::vector<std::uint8_t> hash;
};

std::string FormatPasswordHash(const PasswordHash& stored);
// False (and `stored` unusable) unless the text is exactly the stored form with an iteration
// count within bounds, a salt of 16 to 64 bytes and a 32-byte hash.
bool ParsePasswordHash(const std::string& strText, PasswordHash& stored);

// Equal sizes and bytes, looking at every byte whatever differs.
bool SameBytes(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);
// The typed text against the expected one, byte for byte and whole: the time depends on the
// typed text's length only.
bool SameText(const std::string& strTyped, const std::string& strExpected);

class CPasswordLockout {
public:
    // Milliseconds until the window takes a password again; 0 when it does now.
    std::uint64_t RemainingMs(std::uint64_t nNowMs) const;
    // A wrong password; true when it was the one that locks the window.
    bool Failed(std::uint64_t nNowMs);
    void Succeeded() { m_nFailures = 0; }

private:
    int m_nFailures = 0;
    std::uint64_t m_nLockedUntilMs = 0;
};
