// SPDX-License-Identifier: MIT
#include "arguments.h"

#include "text.h"

#include <array>
#include <charconv>
#include <string>
#include <utility>

#include <getopt.h>

namespace aimhead {
namespace {

using Setter = int (*)(aimlink_head *, int);

// The library's own check, on a handle that is never opened.
bool libraryTakes(Setter setter, int value)
{
    aimlink_head *probe = aimlink_new(nullptr);
    const bool taken = probe != nullptr && setter(probe, value) == AIMLINK_OK;
    aimlink_free(probe);
    return taken;
}

std::optional<int> wholeNumber(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The words --flow-control takes and the library's mode for each.
constexpr std::array<std::pair<std::string_view, aimlink_flow_control>, 2> kFlowControlWords{{
    {"keep", AIMLINK_FLOW_KEEP},
    {"off", AIMLINK_FLOW_OFF},
}};

} // namespace

std::optional<int16_t> parseAngle(std::string_view text)
{
    const bool plus = !text.empty() && text.front() == '+';
    if (plus)
        text.remove_prefix(1);
    const std::string_view digits = !plus && !text.empty() && text.front() == '-' ? text.substr(1) : text;
    if (digits.empty() || digits.front() < '0' || digits.front() > '9')
        return std::nullopt;
    int16_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The ranges in these lines are the library's; the programs' tests try
// each bound through the setters.
std::string takeBaud(std::string_view text, LineSettings &settings)
{
    const auto baud = wholeNumber(text);
    if (!baud || !libraryTakes(aimlink_set_baud, *baud))
        return "--baud " + aimlink::quoted(text) + ": not a supported line speed (" + std::to_string(AIMLINK_BAUD_MIN) +
               " to " + std::to_string(AIMLINK_BAUD_MAX) + ")";
    settings.baud = baud;
    return {};
}

std::string takeReplyTimeout(std::string_view text, LineSettings &settings)
{
    const auto milliseconds = wholeNumber(text);
    if (!milliseconds || !libraryTakes(aimlink_set_reply_timeout, *milliseconds))
        return "--reply-timeout must be a whole number of milliseconds from " +
               std::to_string(AIMLINK_REPLY_TIMEOUT_MIN_MS) + " to " + std::to_string(AIMLINK_REPLY_TIMEOUT_MAX_MS) +
               ", got " + aimlink::quoted(text);
    settings.replyTimeoutMs = milliseconds;
    return {};
}

std::string takeFlowControl(std::string_view text, LineSettings &settings)
{
    for (const auto &[word, mode] : kFlowControlWords)
        if (text == word && libraryTakes(aimlink_set_flow_control, mode)) {
            settings.flowControl = mode;
            return {};
        }
    return "--flow-control takes keep (as the device has it) or off, got " + aimlink::quoted(text);
}

int applyLineSettings(aimlink_head *handle, const LineSettings &settings)
{
    const std::array<std::pair<Setter, std::optional<int>>, 3> given{{
        {aimlink_set_baud, settings.baud},
        {aimlink_set_reply_timeout, settings.replyTimeoutMs},
        {aimlink_set_flow_control, settings.flowControl},
    }};
    for (const auto &[setter, value] : given)
        if (value)
            if (const int status = setter(handle, *value); status != AIMLINK_OK)
                return status;
    return aimlink_set_trace(handle, settings.trace ? 1 : 0);
}

std::string refusedOption(char **argv)
{
    const std::string typed = argv[optind - 1];
    if (optopt != 0 && optopt < 256 && typed.rfind("--", 0) != 0)
        return std::string("-") + static_cast<char>(optopt);
    return typed.substr(0, typed.find('='));
}

} // namespace aimhead
