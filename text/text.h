// SPDX-License-Identifier: MIT
// Text for messages, once for the library and the programs: bytes from
// outside (device paths, arguments, the environment, the line) made safe
// to show, and error descriptions that are safe from any thread.
#ifndef AIMLINK_TEXT_H
#define AIMLINK_TEXT_H

#include <string>
#include <string_view>

namespace aimlink {

// Printable ASCII as it is; every other byte as \xNN, so that a device
// path can't start a new line or change the terminal.
std::string escaped(std::string_view text);

// An argument for a message: escaped, in single quotes, and cut after a few
// dozen bytes with "..." after the closing quote to show the cut.
std::string quoted(std::string_view text);

// strerror's buffer is shared between threads; the watcher reports errors
// while the caller's thread may do the same.
std::string errorText(int error);

} // namespace aimlink

#endif
