#pragma once

#include "files.h"

#include <QByteArray>

// Counting the slots and claiming one are done under one exclusive lock of the
// program directory; launchers that must wait for a slot wait in line, so that
// a freed slot costs about one count, not one for every waiter. Differs between
// Linux (dirlock_linux.cpp) and Windows (dirlock_win.cpp). Both waits end when
// the program is asked to stop (EINTR).

// The directory's lock. The one line printed below the programs: a wait for it
// of over a second says once who holds it, since only the wait can tell.
Hold lockProgramDir(const QByteArray &programDir);

// Waits until this launcher is the first of the program directory's launchers in
// line, and returns its place, to be let go of once it has its slot. Empty where
// no line can be formed or the one first in line is stopped: then it waits on
// its own. Windows forms no line: there each waiting launcher counts once a
// second and when the directory changes, which its lock file keeps cheap.
Hold waitInLine(const QByteArray &programDir);

// A launcher that has to wait for a slot says so for as long as it waits, so
// that a runner that keeps tokens out for its job's build (runner/jobserver.h)
// gives their slots up first; let go of once it has its slot. Where it cannot
// be said, no runner sees that this launcher waits.
Hold markWaitingForSlot(const QByteArray &programDir);

// Whether a launcher of the program directory says that it waits. Cannot fail:
// no where it cannot be told.
bool launchersWaitForSlots(const QByteArray &programDir);
