// Text for messages: untrusted bytes made safe to show, and error
// descriptions that are safe from any thread.
#ifndef AIMLINK_TEXT_H
#define AIMLINK_TEXT_H

#include <string>
#include <string_view>

namespace aimlink {

// Printable ASCII as it is; every other byte as \xNN, so that a device
// path can't start a new line or change the terminal.
std::string printable(std::string_view text);

// strerror's buffer is shared between threads; the watcher reports errors
// while the caller's thread may do the same.
std::string errorText(int error);

} // namespace aimlink

#endif
