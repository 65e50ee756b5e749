#include "text.h"

#include <cstdio>
#include <cstring>

namespace aimlink {

std::string printable(std::string_view text)
{
    std::string shown;
    for (const char character : text) {
        const auto c = static_cast<unsigned char>(character);
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
    }
    return shown;
}

std::string errorText(int error)
{
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);
}

} // namespace aimlink
