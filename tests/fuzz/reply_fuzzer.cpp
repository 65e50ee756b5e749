// SPDX-License-Identifier: MIT
// Feeds an arbitrary byte stream, cut into reads at arbitrary points, through
// the code the watcher runs on what the line brings: reassembly,
// classification, read-back and the dump.
//
// Input: the first byte chooses how many cut points follow (up to 15), one
// byte each; the rest is the stream.
#include "aimlink_protocol.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

using namespace aimlink;

namespace {

struct Extracted {
    std::vector<uint8_t> bytes;
    ReplyKind kind;
    bool operator==(const Extracted &) const = default;
};

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void checkReply(Bytes bytes, ReplyKind kind)
{
    require(bytes.size() >= 2 && bytes.size() <= kMaxReply);
    require(bytes.front() == kReplyStart && bytes.back() == kEnd);
    require(std::count(bytes.begin(), bytes.end(), kEnd) == 1);
    require(kind != ReplyKind::NotReply);
    if (kind == ReplyKind::Position) {
        const Counts position = replyPosition(bytes);
        const auto pan = encodeCount(position.pan);
        const auto tilt = encodeCount(position.tilt);
        for (size_t i = 0; i < 4; ++i) {
            require(std::toupper(bytes[5 + i]) == pan[i]);
            require(std::toupper(bytes[9 + i]) == tilt[i]);
        }
    }
    // The watcher dumps rejections from a zeroed 256-byte buffer.
    std::array<uint8_t, 256> buffer{};
    std::copy(bytes.begin(), bytes.end(), buffer.begin());
    require(formatDump(buffer, kEnd).size() == 3 * bytes.size());
}

// Every reply in the stream, fed in pieces that end at the given cuts.
std::vector<Extracted> extract(Bytes stream, std::vector<size_t> cuts)
{
    std::vector<Extracted> replies;
    ReplyAssembler assembler;
    cuts.push_back(stream.size());
    size_t at = 0;
    for (size_t cut : cuts) {
        Bytes piece = stream.subspan(at, cut - at);
        at = cut;
        while (!piece.empty()) {
            piece = piece.subspan(feedReply(assembler, piece));
            if (!assembler.complete)
                continue;
            const Bytes bytes = reply(assembler);
            const ReplyKind kind = classifyReply(bytes);
            checkReply(bytes, kind);
            replies.push_back({{bytes.begin(), bytes.end()}, kind});
            resetReply(assembler);
        }
    }
    return replies;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t cutCount = std::min<size_t>(data[0] % 16, size - 1);
    const Bytes stream(data + 1 + cutCount, size - 1 - cutCount);
    std::vector<size_t> cuts;
    for (size_t i = 0; i < cutCount; ++i)
        cuts.push_back(stream.empty() ? 0 : data[1 + i] % (stream.size() + 1));
    std::sort(cuts.begin(), cuts.end());

    // However the reads cut it, the stream holds the same replies.
    require(extract(stream, cuts) == extract(stream, {}));
    return 0;
}
