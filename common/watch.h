#pragma once

#include "files.h"

#include <QByteArray>

// Failures: an empty result (false, std::nullopt, an empty Hold), the reason in
// errno; "after saying so" where a line on standard output said it too.

// How a waiting program sleeps until a slot may have been freed. Differs between
// POSIX systems (watch_posix.cpp) and Windows (watch_win.cpp).

// Something that wakes a waiting program when the program directory changes;
// empty where no change can be watched.
Hold watchProgramDir(const QByteArray &programDir);

// Sleeps until the directory changes or a recount is due; without a watch, a
// short while.
void waitForChange(const Hold &watch);
