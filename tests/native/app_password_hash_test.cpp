// The settings password's stored form, its comparisons and the lockout after wrong tries.
#include "app/password_hash.h"

#include <gtest/gtest.h>

namespace {

PasswordHash Sample()
{
    PasswordHash stored;
    stored.nIterations = 120000;
    for (int i = 0; i < 16; ++i)
        stored.salt.push_back(static_cast<std::uint8_t>(0xA0 + i));
    for (int i = 0; i < 32; ++i)
        stored.hash.push_back(static_cast<std::uint8_t>(i * 7));
    return stored;
}

TEST(PasswordHashTest, StoredFormReadsBackAndOnlyItReads)
{
    const std::string strSalt = "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";
    const std::string strHash =
        "00070e151c232a31383f464d545b626970777e858c939aa1a8afb6bdc4cbd2d9";
    const std::string strText = FormatPasswordHash(Sample());
    EXPECT_EQ(strText, "PBKDF2-SHA256$120000$" + strSalt + "$" + strHash);
    PasswordHash read;
    ASSERT_TRUE(ParsePasswordHash(strText, read));
    EXPECT_EQ(read.nIterations, 120000u);
    EXPECT_TRUE(SameBytes(read.salt, Sample().salt));
    EXPECT_TRUE(SameBytes(read.hash, Sample().hash));

    const std::string refused[] = {
        "",
        "7316",                                                      // a password in clear
        "PBKDF2-SHA1$120000$" + strSalt + "$" + strHash,             // another scheme
        "PBKDF2-SHA256$99999$" + strSalt + "$" + strHash,            // too few iterations
        "PBKDF2-SHA256$2000001$" + strSalt + "$" + strHash,          // too many for the UI thread
        "PBKDF2-SHA256$4294967297$" + strSalt + "$" + strHash,       // wraps
        "PBKDF2-SHA256$-120000$" + strSalt + "$" + strHash,
        "PBKDF2-SHA256$120000$a0a1a2a3$" + strHash,                  // short salt
        "PBKDF2-SHA256$120000$" + strSalt + "$" + strHash.substr(2), // short hash
        "PBKDF2-SHA256$120000$" + strSalt + "$" + strHash + "00",
        "PBKDF2-SHA256$120000$" + strSalt + "$" + strHash.substr(1) + "g",
        "PBKDF2-SHA256$120000$" + strSalt + "$" + strHash + "$",
    };
    for (const std::string& strBad : refused)
        EXPECT_FALSE(ParsePasswordHash(strBad, read)) << strBad;
}

TEST(PasswordHashTest, ComparisonsNeedEveryByte)
{
    struct Case {
        const char* pszTyped;
        bool bSame;
    };
    const Case cases[] = {{"7316", true}, {"7317", false}, {"8316", false}, {"731", false},
                          {"73166", false}, {"", false}, {"7316 ", false}, {" 7316", false}};
    for (const Case& c : cases)
        EXPECT_EQ(SameText(c.pszTyped, "7316"), c.bSame) << c.pszTyped;
    EXPECT_FALSE(SameText(std::string("7316\0", 5), "7316"));

    PasswordHash a = Sample(), b = Sample();
    EXPECT_TRUE(SameBytes(a.hash, b.hash));
    b.hash.back() ^= 1;
    EXPECT_FALSE(SameBytes(a.hash, b.hash));
    b = Sample();
    b.hash.pop_back();
    EXPECT_FALSE(SameBytes(a.hash, b.hash));
}

TEST(PasswordHashTest, FiveWrongInARowLockForThirtySeconds)
{
    CPasswordLockout lockout;
    std::uint64_t nNow = 1000;
    for (int i = 1; i < PASSWORD_LOCKOUT_FAILURES; ++i)
        EXPECT_FALSE(lockout.Failed(nNow++));
    lockout.Succeeded();  // a right one in between starts the count again
    for (int i = 1; i < PASSWORD_LOCKOUT_FAILURES; ++i)
        EXPECT_FALSE(lockout.Failed(nNow));
    EXPECT_EQ(lockout.RemainingMs(nNow), 0u);
    EXPECT_TRUE(lockout.Failed(nNow));
    EXPECT_EQ(lockout.RemainingMs(nNow), 30000u);
    EXPECT_EQ(lockout.RemainingMs(nNow + 29999), 1u);
    EXPECT_EQ(lockout.RemainingMs(nNow + 30000), 0u);
    // After the pause, one wrong password does not lock again at once.
    EXPECT_FALSE(lockout.Failed(nNow + 30000));
    EXPECT_EQ(lockout.RemainingMs(nNow + 30000), 0u);
}

}  // namespace
