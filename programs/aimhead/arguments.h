// Reading aimhead's command line.
#ifndef AIMHEAD_ARGUMENTS_H
#define AIMHEAD_ARGUMENTS_H

#include <cstdint>
#include <optional>
#include <string_view>

namespace aimhead {

// Whole decimal integers with an optional sign and nothing else, -32768 to
// 32767: a typo must not turn into a move.
std::optional<int16_t> parseAngle(std::string_view text);

} // namespace aimhead

#endif
