// SPDX-License-Identifier: MIT
// How a run ends early: the signals that ask it to, and the descriptors a
// careless parent may have left closed.
#ifndef AIMHEAD_SIGNALS_H
#define AIMHEAD_SIGNALS_H

namespace aimhead {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// the port can never take one of them and receive our messages as frames.
void fillStandardDescriptors();

// From now on SIGINT, SIGTERM, SIGHUP (a closed terminal or ssh session) and
// SIGQUIT only record that the run should end; the run notices it between
// short waits. SIGPIPE is ignored: a reader of standard error that went away
// must not stop the head mid-move.
void catchEndingSignals();

// The signal that asked the run to end, or 0.
int endingSignal();

// After the run has given the port back: ends the process as the signal
// would have, so that the caller sees the conventional status.
[[noreturn]] void endAsSignalled(int signal);

} // namespace aimhead

#endif
