// SPDX-License-Identifier: MIT
// Signing in: the digest, its clock window, replays and the credentials file.
#include "username_token.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

using namespace aimheadd::onvif;
using std::chrono::minutes;
using std::chrono::seconds;

namespace {

const auto kNow = *parseUtcTime("2026-12-09T02:00:00Z");

UsernameToken signedToken(const std::string &password, const std::string &nonce, const std::string &created)
{
    // The nonce goes in as bytes and out as base64 in the token.
    const std::string base64 = nonce == "nonce-1"   ? "bm9uY2UtMQ=="
                               : nonce == "nonce-2" ? "bm9uY2UtMg=="
                                                    : "bm9uY2UtMw==";
    return {"admin", passwordDigest(nonce, created, password), "PasswordDigest", base64, created};
}

} // namespace

TEST(PasswordDigest, IsBase64OfSha1OverNonceCreatedAndPassword)
{
    // The worked example clients are tested against.
    std::string nonce = "\x2c\xaa\x88\xe8\x6f\xc0\x8a\x42\x82\x42\xb3\x74\xce\xa6\x45\x96";
    EXPECT_EQ(passwordDigest(nonce, "2010-09-16T07:50:45Z", "userpassword"), "tuOSpGlFlIXsozq4HFNeeGeFLEI=");
}

TEST(UtcTime, ReadsFractionsAndOffsetsAndRefusesTheRest)
{
    EXPECT_EQ(parseUtcTime("2026-12-09T02:00:00.123Z"), kNow);
    EXPECT_EQ(parseUtcTime("2026-12-09T03:00:00+01:00"), kNow);
    EXPECT_EQ(parseUtcTime("2026-12-09T02:00:00"), kNow);
    EXPECT_FALSE(parseUtcTime("yesterday"));
    EXPECT_FALSE(parseUtcTime("2026-12-09T02:00:00Zjunk"));
}

TEST(TokenChecker, AcceptsTheRightDigestOnceAndRefusesItsReplay)
{
    TokenChecker checker({"admin", "secret"});
    const auto token = signedToken("secret", "nonce-1", "2026-12-09T01:59:30Z");
    EXPECT_EQ(checker.check(token, kNow), TokenChecker::Verdict::Accepted);
    EXPECT_EQ(checker.check(token, kNow + seconds(10)), TokenChecker::Verdict::Replayed);
    EXPECT_EQ(checker.check(token, kNow + minutes(4) + seconds(25)), TokenChecker::Verdict::Replayed)
        << "remembered while its Created is within the window";
    EXPECT_EQ(checker.check(signedToken("secret", "nonce-2", "2026-12-09T01:59:30Z"), kNow),
              TokenChecker::Verdict::Accepted);
}

// libonvif (onvif-util) signs every request of a session with one nonce and
// a new Created: each is a fresh digest, only the exact repeat is a replay.
TEST(TokenChecker, AcceptsOneNonceWithANewCreatedAndRefusesTheRepeatOfEither)
{
    TokenChecker checker({"admin", "secret"});
    const auto first = signedToken("secret", "nonce-3", "2026-12-09T01:59:30.388Z");
    const auto second = signedToken("secret", "nonce-3", "2026-12-09T01:59:30.390Z");
    EXPECT_EQ(checker.check(first, kNow), TokenChecker::Verdict::Accepted);
    EXPECT_EQ(checker.check(second, kNow), TokenChecker::Verdict::Accepted);
    EXPECT_EQ(checker.check(second, kNow), TokenChecker::Verdict::Replayed);
    EXPECT_EQ(checker.check(first, kNow), TokenChecker::Verdict::Replayed);
    // A new Created under the old digest is not a token at all.
    auto forged = first;
    forged.created = "2026-12-09T01:59:31.000Z";
    EXPECT_EQ(checker.check(forged, kNow), TokenChecker::Verdict::BadDigest);
}

TEST(TokenChecker, RefusesAWrongPasswordAUserOfAnotherNameAndPlainText)
{
    TokenChecker checker({"admin", "secret"});
    EXPECT_EQ(checker.check(signedToken("guess", "nonce-1", "2026-12-09T02:00:00Z"), kNow),
              TokenChecker::Verdict::BadDigest);
    auto other = signedToken("secret", "nonce-1", "2026-12-09T02:00:00Z");
    other.username = "root";
    EXPECT_EQ(checker.check(other, kNow), TokenChecker::Verdict::BadDigest);
    EXPECT_EQ(
        checker.check(UsernameToken{"admin", "secret", "PasswordText", "bm9uY2UtMQ==", "2026-12-09T02:00:00Z"}, kNow),
        TokenChecker::Verdict::PlainPassword);
    EXPECT_EQ(checker.check(std::nullopt, kNow), TokenChecker::Verdict::Missing);
    // None of these used up the nonce.
    EXPECT_EQ(checker.check(signedToken("secret", "nonce-1", "2026-12-09T02:00:00Z"), kNow),
              TokenChecker::Verdict::Accepted);
}

TEST(TokenChecker, RefusesACreatedMoreThanFiveMinutesFromItsClockEitherWay)
{
    TokenChecker checker({"admin", "secret"});
    EXPECT_EQ(checker.check(signedToken("secret", "nonce-1", "2026-12-09T01:54:59Z"), kNow),
              TokenChecker::Verdict::Stale);
    EXPECT_EQ(checker.check(signedToken("secret", "nonce-2", "2026-12-09T02:05:01Z"), kNow),
              TokenChecker::Verdict::Stale);
    EXPECT_EQ(checker.check(signedToken("secret", "nonce-3", "2026-12-09T01:55:01Z"), kNow),
              TokenChecker::Verdict::Accepted);
}

TEST(TokenChecker, ForgetsNoncesOnceTheirWindowHasPassedAndBoundsTheirNumber)
{
    TokenChecker checker({"admin", "secret"}, 1);
    EXPECT_EQ(checker.check(signedToken("secret", "nonce-1", "2026-12-09T02:00:00Z"), kNow),
              TokenChecker::Verdict::Accepted);
    EXPECT_EQ(checker.check(signedToken("secret", "nonce-2", "2026-12-09T02:00:00Z"), kNow),
              TokenChecker::Verdict::Busy);
    const auto later = kNow + minutes(5) + seconds(1);
    EXPECT_EQ(checker.check(signedToken("secret", "nonce-2", "2026-12-09T02:05:00Z"), later),
              TokenChecker::Verdict::Accepted);
}

class CredentialsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/onvif-credentials-XXXXXX";
        const int descriptor = mkstemp(pattern);
        ASSERT_GE(descriptor, 0);
        close(descriptor);
        path_ = pattern;
    }
    void TearDown() override { unlink(path_.c_str()); }
    void write(const std::string &content, mode_t mode)
    {
        std::ofstream(path_) << content;
        chmod(path_.c_str(), mode);
    }
    std::string path_;
};

TEST_F(CredentialsFile, GivesUserAndPasswordFromTheFirstLineSplitAtTheFirstColon)
{
    write("admin:pa:ss\nignored\n", 0600);
    const Credentials credentials = readCredentials(path_);
    EXPECT_EQ(credentials.user, "admin");
    EXPECT_EQ(credentials.password, "pa:ss");
}

TEST_F(CredentialsFile, IsRefusedWhenOthersMayReadItOrItIsNotUserColonPassword)
{
    write("admin:secret\n", 0640);
    EXPECT_THROW(
        {
            try {
                readCredentials(path_);
            } catch (const std::runtime_error &error) {
                EXPECT_NE(std::string(error.what()).find("0600"), std::string::npos);
                throw;
            }
        },
        std::runtime_error);
    write("admin\n", 0600);
    EXPECT_THROW(readCredentials(path_), std::runtime_error);
    write(":secret\n", 0600);
    EXPECT_THROW(readCredentials(path_), std::runtime_error);
    EXPECT_THROW(readCredentials(path_ + ".missing"), std::runtime_error);
}
