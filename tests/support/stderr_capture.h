// SPDX-License-Identifier: MIT
// Collects what the process writes to standard error while it lives, from
// any thread.
#ifndef AIMLINK_TESTS_STDERR_CAPTURE_H
#define AIMLINK_TESTS_STDERR_CAPTURE_H

#include <cstdio>
#include <string>

#include <unistd.h>

class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        saved_ = dup(2);
        file_ = std::tmpfile();
        dup2(fileno(file_), 2);
    }
    ~StderrCapture()
    {
        restore();
        std::fclose(file_);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    std::string text()
    {
        std::fflush(stderr);
        std::string all;
        char chunk[512];
        for (off_t at = 0;;) {
            const ssize_t count = pread(fileno(file_), chunk, sizeof chunk, at);
            if (count <= 0)
                return all;
            all.append(chunk, static_cast<size_t>(count));
            at += count;
        }
    }
    void restore()
    {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }

private:
    int saved_ = -1;
    std::FILE *file_ = nullptr;
};

// How many times needle occurs in haystack.
inline int occurrences(const std::string &haystack, const std::string &needle)
{
    int count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

#endif
