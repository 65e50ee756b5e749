// SPDX-License-Identifier: MIT
// A pseudo-terminal pair standing in for the serial line: the test holds the
// master side and plays the head; the client opens the slave by its path.
#ifndef AIMLINK_TESTS_PTY_PEER_H
#define AIMLINK_TESTS_PTY_PEER_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using ByteVector = std::vector<uint8_t>;

class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    const std::string &path() const { return path_; }
    int master() const { return master_; }

    // The next command frame (FF ... EF) from the client, or nullopt if none
    // completes within the time-out.
    std::optional<ByteVector> readFrame(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    // Counts the frames that arrive within the period.
    int countFrames(std::chrono::milliseconds period);
    void send(const ByteVector &bytes);
    // Closes the line: the client sees a hang-up.
    void hangUp();
    // Makes readFrame return nullopt from now on; safe from another thread.
    void interrupt();
    // Stops (or restarts) the client's output, as a head holding the line
    // would: its writes then block.
    void holdOutput(bool held);
    // Bytes sent to the client that it has not read yet.
    int unread() const;

private:
    int master_ = -1;
    int slave_ = -1;
    int interrupt_ = -1;
    std::string path_;
    ByteVector pending_;
};

// Replies as the head sends them.
ByteVector ackReply();
ByteVector rejectReply();
ByteVector positionReply(const char *panField, const char *tiltField);

// Frames as the client must send them.
ByteVector initFrame();
ByteVector homeFrame();
ByteVector pollFrame();
ByteVector moveFrame(const char *panField, const char *tiltField);

#endif
