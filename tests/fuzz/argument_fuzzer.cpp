// SPDX-License-Identifier: MIT
// Checks aimhead's argument check against a plain reading of the rule:
// accepted text is exactly a whole decimal integer, optionally signed, from
// -32768 to 32767, and the value is the number written.
#include "arguments.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {

std::optional<int16_t> expected(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return std::nullopt;
    long magnitude = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        magnitude = std::min(magnitude * 10 + (c - '0'), 100000L);
    }
    const long value = negative ? -magnitude : magnitude;
    if (value < -32768 || value > 32767)
        return std::nullopt;
    return static_cast<int16_t>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    if (aimhead::parseAngle(text) != expected(text))
        std::abort();
    return 0;
}
