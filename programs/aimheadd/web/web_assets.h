// SPDX-License-Identifier: MIT
// The web page's files, built into the program: the machine may be offline.
#ifndef AIMHEADD_WEB_ASSETS_H
#define AIMHEADD_WEB_ASSETS_H

#include <string_view>

namespace aimheadd {

struct WebAsset {
    std::string_view path; // "/index.html" and so on
    std::string_view type; // its Content-Type
    std::string_view body;
};

// The asset served at path ("/" is the page), or nullptr.
const WebAsset *findWebAsset(std::string_view path);

} // namespace aimheadd

#endif
