// SPDX-License-Identifier: MIT
#include "jog.h"

#include "presets.h"
#include "signals.h"

#include <curses.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <string>

#include <poll.h>
#include <unistd.h>

namespace aimhead {
namespace {

constexpr std::array<int32_t, 5> kSteps = {2, 10, 50, 200, 1000};
constexpr int kRedrawMs = 100;

class Jog {
public:
    Jog(DirectHead &head, std::string presetsFile) : head_(head), presetsFile_(std::move(presetsFile)) {}
    // The exit status, or -1 to go on.
    int handleKey(int key);
    void draw() const;
    void aimAt(aimlink_angles wanted);
    aimlink_angles target{AIMLINK_HOME_PAN, AIMLINK_HOME_TILT};

private:
    void savePreset();

    DirectHead &head_;
    std::string presetsFile_;
    size_t step_ = 1;
    std::string note_;
};

void Jog::aimAt(aimlink_angles wanted)
{
    // A key held down queues many targets: each replaces the one not yet sent.
    aimlink_reachable(wanted.pan, wanted.tilt, &target);
    aimlink_move(head_.handle(), target.pan, target.tilt);
}

void Jog::draw() const
{
    aimlink_angles reported{};
    const bool known = aimlink_position(head_.handle(), &reported) == AIMLINK_OK;
    erase();
    mvprintw(0, 0, "aimhead jog on %s", head_.device().c_str());
    mvprintw(2, 0, "reported  %s", known ? angles(reported).c_str() : "(no report yet)");
    mvprintw(3, 0, "target    %s", angles(target).c_str());
    mvprintw(4, 0, "link      %s", aimlink_link_name(aimlink_link(head_.handle())));
    mvprintw(5, 0, "step      %d mrad", kSteps[step_]);
    mvprintw(7, 0, "arrows move   + - step   s save   h home   q quit");
    mvprintw(9, 0, "%s", note_.c_str());
    refresh();
}

void Jog::savePreset()
{
    mvprintw(9, 0, "preset name: ");
    clrtoeol();
    echo();
    timeout(-1);
    char name[40] = {};
    const bool read = getnstr(name, sizeof name - 1) == OK;
    noecho();
    timeout(0);
    aimlink_angles reported{};
    if (!read || !validPresetName(name)) {
        note_ = "not saved: a name is 1 to 32 letters, digits, '_', '-' or '.'";
    } else if (aimlink_position(head_.handle(), &reported) != AIMLINK_OK) {
        note_ = "not saved: no position report yet";
    } else {
        try {
            updatePresets(presetsFile_, [&](Presets &presets) {
                presets[name] = reported;
                return true;
            });
            note_ = std::string("saved ") + name + " at " + angles(reported);
        } catch (const PresetsError &error) {
            note_ = error.what();
        }
    }
}

int Jog::handleKey(int key)
{
    switch (key) {
    case KEY_LEFT:
        aimAt({target.pan - kSteps[step_], target.tilt});
        break;
    case KEY_RIGHT:
        aimAt({target.pan + kSteps[step_], target.tilt});
        break;
    case KEY_UP:
        aimAt({target.pan, target.tilt + kSteps[step_]});
        break;
    case KEY_DOWN:
        aimAt({target.pan, target.tilt - kSteps[step_]});
        break;
    case '+':
        step_ = std::min(step_ + 1, kSteps.size() - 1);
        break;
    case '-':
        step_ = step_ > 0 ? step_ - 1 : 0;
        break;
    case 'h':
        aimlink_home(head_.handle());
        target = {AIMLINK_HOME_PAN, AIMLINK_HOME_TILT};
        break;
    case 's':
        savePreset();
        break;
    case 'q':
        return kSuccess;
    default:
        break;
    }
    return -1;
}

void startScreen()
{
    initscr();
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    timeout(0);
    curs_set(0);
}

// Waits for a key, a change on the head or the next redraw; -1 once the
// terminal has gone.
int awaitInput(DirectHead &head)
{
    pollfd ready[2] = {{STDIN_FILENO, POLLIN, 0}, {aimlink_event_fd(head.handle()), POLLIN, 0}};
    poll(ready, 2, kRedrawMs);
    if (ready[1].revents & POLLIN) {
        uint64_t changes = 0;
        (void)!read(ready[1].fd, &changes, sizeof changes);
    }
    return (ready[0].revents & (POLLHUP | POLLERR)) != 0 ? -1 : 0;
}

int run(DirectHead &head, Jog &jog)
{
    for (;;) {
        if (endingSignal() != 0 || awaitInput(head) < 0)
            return -SIGHUP;
        if (aimlink_link(head.handle()) == AIMLINK_LINK_FAILED)
            return kFailure;
        for (int key = getch(); key != ERR; key = getch())
            if (const int status = jog.handleKey(key); status >= 0)
                return status;
        jog.draw();
    }
}

} // namespace

int jog(DirectHead &head, const std::string &presetsFile)
{
    Jog session(head, presetsFile);
    aimlink_angles reported{};
    if (const int status = head.position(reported); status != kSuccess)
        return status;
    session.target = reported;
    startScreen();
    const int status = run(head, session);
    endwin();
    if (status == kFailure)
        std::fprintf(stderr, "aimhead: %s\n", head.linkFailure().c_str());
    if (status < 0) {
        // A closed terminal ends the run as SIGHUP would.
        aimlink_close(head.handle());
        endAsSignalled(endingSignal() != 0 ? endingSignal() : SIGHUP);
    }
    aimlink_close(head.handle());
    return status;
}

} // namespace aimhead
