// SPDX-License-Identifier: MIT
// WS-Security UsernameToken with a password digest: the one sign-in every
// ONVIF client sends. The digest is Base64(SHA-1(nonce + Created + password)),
// compared in constant time; Created must lie within kCreatedWindow of this
// clock, and a nonce with a Created seen within that window is a replay.
#ifndef AIMHEADD_ONVIF_USERNAME_TOKEN_H
#define AIMHEADD_ONVIF_USERNAME_TOKEN_H

#include "replay_cache.h"
#include "soap.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace aimheadd::onvif {

struct Credentials {
    std::string user;
    std::string password;
};

// The first line of file as "user:password". Throws std::runtime_error
// naming the file and the reason: unreadable, readable by others than its
// owner (mode wider than 0600), or not of that form.
Credentials readCredentials(const std::string &file);

inline constexpr std::chrono::minutes kCreatedWindow{5};

// Base64(SHA-1(nonce bytes + created + password)), as a client computes it.
std::string passwordDigest(const std::string &nonceBytes, const std::string &created, const std::string &password);

// "2026-12-09T01:58:55Z", with optional fractions and offset; nullopt when
// it is not such a time.
std::optional<std::chrono::system_clock::time_point> parseUtcTime(const std::string &text);

class TokenChecker {
public:
    using Time = std::chrono::system_clock::time_point;
    enum class Verdict { Accepted, Missing, PlainPassword, BadDigest, Stale, Replayed, Busy };

    // Room for maxSignIns within kCreatedWindow: 82 a second, held in 512 KiB.
    explicit TokenChecker(Credentials credentials, std::size_t maxSignIns = 24576)
        : credentials_(std::move(credentials)), seen_(maxSignIns)
    {
    }

    // Checks the token at now and, when accepted, remembers its nonce.
    Verdict check(const std::optional<UsernameToken> &token, Time now);
    static const char *describe(Verdict verdict);

private:
    bool matches(const UsernameToken &token, const std::string &nonceBytes) const;

    Credentials credentials_;
    ReplayCache seen_; // the digests of accepted tokens
};

} // namespace aimheadd::onvif

#endif
