#pragma once

#include "files.h"

#include <QByteArray>

// Failures: an empty result (false, std::nullopt, an empty Hold), the reason in
// errno; "after saying so" where a line on standard output said it too.

// Counting the slots and claiming one are done under one exclusive lock of the
// program directory; launchers that must wait for a slot wait in line, so that
// a freed slot costs about one count, not one for every waiter. Differs between
// POSIX systems (dirlock_posix.cpp) and Windows (dirlock_win.cpp).

// The directory's lock. A wait for it of over a second says once who holds it.
// Empty, after saying so, when it cannot be had.
Hold lockProgramDir(const QByteArray &programDir);

// Waits until this launcher is the first of the program directory's launchers in
// line, and returns its place, to be let go of once it has its slot. Empty where
// no line can be formed or the one first in line is stopped: then it waits on
// its own.
Hold waitInLine(const QByteArray &programDir);
