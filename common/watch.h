#pragma once

#include "files.h"

#include <QByteArray>

// Nothing here fails: where no change can be watched, waiting polls.

// How a waiting program sleeps until a slot may have been freed. Differs between
// POSIX systems (watch_posix.cpp) and Windows (watch_win.cpp).

// Something that wakes a waiting program when the program directory changes;
// Hold::none where no change can be watched. It is kept for as long as the
// program lives: closing an inotify watch waits for the kernel's grace period, a
// millisecond or more, which would fall in the middle of a hand-over.
Handle watchProgramDir(const QByteArray &programDir);

// Sleeps until the directory changes or a recount is due; without a watch, a
// short while.
void waitForChange(Handle watch);
