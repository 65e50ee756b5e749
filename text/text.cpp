// SPDX-License-Identifier: MIT
#include "text.h"

#include <cstdio>
#include <cstring>

namespace aimlink {
namespace {

// Enough to recognise a mistyped argument; a whole 100 KB argument is not.
constexpr size_t kLongestShown = 32;

} // namespace

std::string escaped(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (const char character : text) {
        const auto c = static_cast<unsigned char>(character);
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02X", c);
            shown += code;
        }
    }
    return shown;
}

std::string quoted(std::string_view text)
{
    if (text.size() <= kLongestShown)
        return "'" + escaped(text) + "'";
    return "'" + escaped(text.substr(0, kLongestShown)) + "'...";
}

std::string errorText(int error)
{
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);
}

} // namespace aimlink
