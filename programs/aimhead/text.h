// Showing text that came from outside (arguments, device paths, the
// environment) without letting it steer the terminal or flood the screen.
#ifndef AIMHEAD_TEXT_H
#define AIMHEAD_TEXT_H

#include <string>
#include <string_view>

namespace aimhead {

// Printable ASCII as it is; every other byte as \xNN.
std::string escaped(std::string_view text);

// An argument for a message: escaped, in single quotes, and cut after a few
// dozen bytes with "..." after the closing quote to show the cut.
std::string quoted(std::string_view text);

// The system's text for an errno value, as strerror gives it, from any thread.
std::string errorText(int error);

} // namespace aimhead

#endif
