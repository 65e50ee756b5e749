// SPDX-License-Identifier: MIT
// The table of recent sign-ins: what it remembers, for how long, and that
// forgetting one digest never loses another.
#include "replay_cache.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

using namespace aimheadd::onvif;
using std::chrono::seconds;
using Outcome = ReplayCache::Outcome;

namespace {

const ReplayCache::Time kStart{seconds(1'800'000'000)};

// A digest whose first four bytes, its hash, are `home`, told apart by `tag`.
ReplayCache::Digest digestAt(unsigned char home, unsigned char tag)
{
    ReplayCache::Digest digest{};
    digest[0] = home;
    digest[4] = tag;
    return digest;
}

} // namespace

TEST(ReplayCache, HoldsEachDigestUntilItsTimeAndNoMoreThanItsRoom)
{
    ReplayCache cache(3);
    for (unsigned char tag = 1; tag <= 3; ++tag)
        EXPECT_EQ(cache.remember(digestAt(tag, tag), kStart + seconds(10), kStart), Outcome::Remembered);
    EXPECT_EQ(cache.remember(digestAt(4, 4), kStart + seconds(10), kStart), Outcome::Full);
    EXPECT_EQ(cache.remember(digestAt(2, 2), kStart + seconds(10), kStart + seconds(10)), Outcome::Seen)
        << "kept up to its time";
    EXPECT_EQ(cache.remember(digestAt(1, 9), kStart + seconds(10), kStart + seconds(10)), Outcome::Full)
        << "the same hash with other bytes is another digest";
    EXPECT_EQ(cache.remember(digestAt(4, 4), kStart + seconds(30), kStart + seconds(12)), Outcome::Remembered)
        << "room again once they are forgotten";
    EXPECT_EQ(cache.remember(digestAt(2, 2), kStart + seconds(30), kStart + seconds(12)), Outcome::Remembered);
    EXPECT_EQ(cache.remember(digestAt(4, 4), kStart + seconds(30), kStart + seconds(13)), Outcome::Seen);
}

struct Signed {
    unsigned char home;
    unsigned char tag;
    int life; // seconds
};

// Remembers the digests, in order, in a table of eight slots; ten seconds
// later each one of a life of 20 s must still be seen, and each of 5 s new.
void expectForgottenOnlyThoseWhoseTimePassed(const std::vector<Signed> &digests)
{
    ReplayCache cache(6);
    for (const Signed &one : digests)
        ASSERT_EQ(cache.remember(digestAt(one.home, one.tag), kStart + seconds(one.life), kStart), Outcome::Remembered);
    // The kept ones first: a forgotten one remembered again would fill a gap.
    const auto later = kStart + seconds(10);
    for (const bool kept : {true, false})
        for (const Signed &one : digests)
            if ((one.life == 20) == kept) {
                EXPECT_EQ(cache.remember(digestAt(one.home, one.tag), kStart + seconds(20), later),
                          kept ? Outcome::Seen : Outcome::Remembered)
                    << "digest " << int(one.tag) << " at home " << int(one.home);
            }
}

// Digests that share a home, or meet in one run of slots, are moved back
// when one before them is forgotten: each must stay reachable, also where
// the run wraps past the table's end.
TEST(ReplayCache, ForgettingADigestKeepsTheRestOfItsRunFound)
{
    {
        SCOPED_TRACE("six at the last home, forgotten from the middle");
        expectForgottenOnlyThoseWhoseTimePassed({{7, 0, 20}, {7, 1, 5}, {7, 2, 5}, {7, 3, 20}, {7, 4, 5}, {7, 5, 20}});
    }
    {
        SCOPED_TRACE("a digest at its own home just past the end stays put");
        expectForgottenOnlyThoseWhoseTimePassed({{6, 0, 5}, {6, 1, 20}, {0, 2, 20}});
    }
    {
        SCOPED_TRACE("one whose home lies after the gap stays put");
        expectForgottenOnlyThoseWhoseTimePassed({{5, 0, 5}, {6, 1, 20}, {6, 2, 20}, {6, 3, 20}, {0, 4, 20}});
    }
    ReplayCache full(6);
    for (unsigned char tag = 0; tag < 6; ++tag)
        full.remember(digestAt(7, tag), kStart + seconds(20), kStart);
    EXPECT_EQ(full.remember(digestAt(7, 99), kStart + seconds(20), kStart), Outcome::Full);
}

// Against a plain map as the model, over a minute of sign-ins at random
// hashes, with repeats: a digest is seen while its time has not passed, and
// new again a little after.
TEST(ReplayCache, AgreesWithAMapOverAMinuteOfRandomSignIns)
{
    ReplayCache cache(400);
    std::map<ReplayCache::Digest, ReplayCache::Time> model; // -> when it may be forgotten
    std::mt19937 random(20261209);
    std::vector<ReplayCache::Digest> sent;
    for (int second = 0; second < 60; ++second) {
        const auto now = kStart + seconds(second);
        for (int i = 0; i < 40; ++i) {
            ReplayCache::Digest digest{};
            const bool repeat = !sent.empty() && random() % 3 == 0;
            if (repeat)
                digest = sent[random() % sent.size()];
            else
                for (auto &byte : digest)
                    byte = static_cast<unsigned char>(random());
            const auto forgetAt = now + seconds(random() % 8);
            const Outcome outcome = cache.remember(digest, forgetAt, now);
            const auto known = model.find(digest);
            if (known == model.end() || known->second + seconds(2) < now) {
                ASSERT_EQ(outcome, Outcome::Remembered) << "second " << second << " sign-in " << i;
                model[digest] = forgetAt;
                sent.push_back(digest);
            } else if (known->second >= now) {
                ASSERT_EQ(outcome, Outcome::Seen) << "second " << second << " sign-in " << i;
            } else if (outcome == Outcome::Remembered) {
                model[digest] = forgetAt; // just past its time: either answer is right
            }
        }
    }
}
