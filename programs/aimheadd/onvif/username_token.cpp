// SPDX-License-Identifier: MIT
#include "username_token.h"

#include "text.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace aimheadd::onvif {
namespace {

std::optional<std::string> base64Decoded(const std::string &text)
{
    if (text.empty() || text.size() % 4 != 0)
        return std::nullopt;
    std::string bytes(text.size() / 4 * 3, '\0');
    const int length =
        EVP_DecodeBlock(reinterpret_cast<unsigned char *>(bytes.data()),
                        reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    if (length < 0)
        return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes.
    const size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    bytes.resize(static_cast<size_t>(length) - padding);
    return bytes;
}

bool sameInConstantTime(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

[[noreturn]] void refuseFile(const std::string &file, const std::string &reason)
{
    throw std::runtime_error("credentials file '" + aimlink::escaped(file) + "': " + reason);
}

std::string firstLine(const std::string &file)
{
    const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        refuseFile(file, aimlink::errorText(errno));
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || (status.st_mode & 0177) != 0) {
        close(descriptor);
        refuseFile(file, "mode wider than 0600; chmod 600 it");
    }
    char buffer[1024];
    const ssize_t count = read(descriptor, buffer, sizeof buffer);
    close(descriptor);
    if (count < 0)
        refuseFile(file, aimlink::errorText(errno));
    std::string line(buffer, static_cast<size_t>(count));
    return line.substr(0, line.find_first_of("\r\n"));
}

} // namespace

Credentials readCredentials(const std::string &file)
{
    const std::string line = firstLine(file);
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == line.size())
        refuseFile(file, "the first line must be user:password");
    return {line.substr(0, colon), line.substr(colon + 1)};
}

std::string passwordDigest(const std::string &nonceBytes, const std::string &created, const std::string &password)
{
    const std::string input = nonceBytes + created + password;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha1(), nullptr);
    std::string encoded(4 * ((length + 2) / 3) + 1, '\0');
    const int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(encoded.data()), digest, static_cast<int>(length));
    encoded.resize(static_cast<size_t>(written));
    return encoded;
}

std::optional<std::chrono::system_clock::time_point> parseUtcTime(const std::string &text)
{
    std::tm fields{};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &fields.tm_year, &fields.tm_mon, &fields.tm_mday,
                    &fields.tm_hour, &fields.tm_min, &fields.tm_sec, &consumed) != 6)
        return std::nullopt;
    size_t at = static_cast<size_t>(consumed);
    if (at < text.size() && text[at] == '.')
        at = text.find_first_not_of("0123456789", at + 1);
    long offset = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        int hours = 0;
        int minutes = 0;
        if (std::sscanf(text.c_str() + at + 1, "%2d:%2d", &hours, &minutes) != 2)
            return std::nullopt;
        offset = (text[at] == '+' ? 1 : -1) * (hours * 3600L + minutes * 60L);
        at += 6;
    } else if (at < text.size() && text[at] == 'Z') {
        ++at;
    }
    if (at != text.size())
        return std::nullopt;
    fields.tm_year -= 1900;
    fields.tm_mon -= 1;
    const time_t seconds = timegm(&fields);
    return std::chrono::system_clock::from_time_t(seconds - offset);
}

bool TokenChecker::matches(const UsernameToken &token, const std::string &nonceBytes) const
{
    const std::optional<std::string> sent = base64Decoded(token.password);
    const std::string expected = passwordDigest(nonceBytes, token.created, credentials_.password);
    const std::optional<std::string> wanted = base64Decoded(expected);
    // Both compared whatever the first gives, so the time taken tells nothing.
    const bool user = sameInConstantTime(token.username, credentials_.user);
    const bool digest = sent && wanted && sameInConstantTime(*sent, *wanted);
    return user && digest;
}

TokenChecker::Verdict TokenChecker::check(const std::optional<UsernameToken> &token, Time now)
{
    if (!token)
        return Verdict::Missing;
    // The type is a URI ending in "#PasswordDigest"; some clients send the bare name.
    if (!token->passwordType.ends_with("PasswordDigest"))
        return Verdict::PlainPassword;
    const auto created = parseUtcTime(token->created);
    const std::optional<std::string> nonce = base64Decoded(token->nonce);
    if (!created || !nonce || *created < now - kCreatedWindow || *created > now + kCreatedWindow)
        return Verdict::Stale;
    if (!matches(*token, *nonce))
        return Verdict::BadDigest;
    // A replay repeats the nonce with its Created, and so the digest that
    // binds them: libonvif (onvif-util) sends one nonce per session with a
    // new Created each time, and only a holder of the password can make
    // such a pair. A digest is kept until its Created leaves the window:
    // after that the Created check refuses the same token anyway.
    ReplayCache::Digest digest{};
    const std::string sent = base64Decoded(token->password).value_or("");
    std::copy_n(sent.begin(), std::min(sent.size(), digest.size()), digest.begin());
    switch (seen_.remember(digest, *created + kCreatedWindow, now)) {
    case ReplayCache::Outcome::Remembered:
        return Verdict::Accepted;
    case ReplayCache::Outcome::Seen:
        return Verdict::Replayed;
    case ReplayCache::Outcome::Full:
        return Verdict::Busy;
    }
    return Verdict::Busy;
}

const char *TokenChecker::describe(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Accepted:
        return "accepted";
    case Verdict::Missing:
        return "no UsernameToken";
    case Verdict::PlainPassword:
        return "not a password digest";
    case Verdict::BadDigest:
        return "wrong user or password";
    case Verdict::Stale:
        return "Created missing or more than 5 minutes from this clock";
    case Verdict::Replayed:
        return "a nonce and Created seen before (replay)";
    case Verdict::Busy:
        return "too many sign-ins within 5 minutes";
    }
    return "unknown";
}

} // namespace aimheadd::onvif
