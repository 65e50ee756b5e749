// SPDX-License-Identifier: MIT
/* Marks the names the shared library exports; everything else is hidden. */
#ifndef AIMLINK_EXPORT_H
#define AIMLINK_EXPORT_H

#if defined(__GNUC__)
#define AIMLINK_API __attribute__((visibility("default")))
#else
#define AIMLINK_API
#endif

#endif
