#pragma once

#include <QtGlobal>

// A request to stop (Ctrl-C, a closed terminal) that comes while a launcher or a
// waiter waits: caught, so that the program can stop its batch first. Every
// wait of common/ ends when one comes. Nothing here fails.

// From now on a request to stop is caught instead of ending the program: on
// POSIX systems SIGINT and SIGHUP, where the caller does not ignore them (under
// nohup a closed terminal stops nothing); on Windows Ctrl-C, Ctrl-Break and the
// console's closing.
void catchStopRequests();

// Whether a request came that has not been taken yet; the same, and takes it.
bool stopRequested();
bool takeStopRequest();

// How many requests have come (stop_posix.cpp, stop_win.cpp).
int stopRequests();

// The signal that the first request came by, which a stopped job is passed on
// POSIX systems: SIGINT where none came yet. 0 on Windows, which has none.
int stopSignal();

#ifdef Q_OS_WIN
// The status of a program or job stopped on Windows: that of a job ended by
// Ctrl-C on Linux, so that its report reads the same on both.
constexpr int stoppedStatus = 130;
#endif

// From now on a request ends the program again, as before catchStopRequests.
void releaseStopRequests();

// Ends the program as the first request caught would have ended it: on POSIX
// systems by its signal, so that a shell waiting for it stops its script too and
// shows 128 + N; on Windows with 130, the status of a job ended by Ctrl-C on Linux.
[[noreturn]] void endAsStopped();
