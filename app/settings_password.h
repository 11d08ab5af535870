// The site's own settings password against the platform: PBKDF2-SHA256 through Windows' own
// cryptography (BCryptDeriveKeyPBKDF2, Windows 7 on), the salt from its random generator, and
// the stored hash in HKLM\Software\(주)Norvane\(주)Norvane Pellarin\1.0, value
// "Settings Password" (REG_SZ, 32-bit view, as the installer writes). The stored form and the
// lockout's rules are in password_hash.h.
//
// Storing and clearing are for pellarin.exe's commands (an administrator's); the check is the
// password window's, on the user-interface thread.
#pragma once
#include <string>

// Results of storing or clearing; the Windows error for Failed.
enum class PasswordStoreResult { Done, NothingStored, AccessDenied, Failed };
PasswordStoreResult StoreSettingsPassword(const std::string& strUtf8, unsigned long* pdwError);
PasswordStoreResult ClearSettingsPassword(unsigned long* pdwError);

// The stored text, or empty when none is stored.
std::string ReadStoredPasswordHash();

// What the password window says to a typed text (code page 949, as the edit holds it).
enum class PasswordVerdict { Accepted, Wrong, LockedNow, Locked };
struct PasswordAnswer {
    PasswordVerdict verdict;
    int nLockedSeconds;  // for LockedNow and Locked: how long the window refuses
};
// The stored hash when one is stored, else the built-in "7316"; 5 wrong in a row refuse every
// attempt for 30 s. The same work and comparison whatever part matches. UI thread.
PasswordAnswer CheckSettingsPassword(const std::string& strTyped);
