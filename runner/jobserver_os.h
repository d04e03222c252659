#pragma once

// What the jobserver needs of the system: apart for Linux (jobserver_linux.cpp)
// and Windows (jobserver_win.cpp), called only by jobserver.cpp, and failing as
// jobserver.h does.

#include "jobserver.h"

#include <QByteArray>

// Creates the pool, empty, and what wakes its server: on Linux a pipe, or a
// named pipe where `named`, on Windows a semaphore; sets the names that
// MAKEFLAGS and CARGO_MAKEFLAGS give it.
bool createPool(Jobserver &jobserver, bool named);
void closePool(Jobserver &jobserver);

// The tokens in the pool that no client has taken; none where that cannot be told.
int tokensUnread(const Jobserver &jobserver);

// Puts a token into the pool; takes one back, where one is there, without waiting.
bool putToken(const Jobserver &jobserver);
bool withdrawToken(const Jobserver &jobserver);

enum class Wake { Stop, Count, Look };

// Sleeps until the serving is to stop; until a slot of the program directory
// may have come free, or a count is due (Count); or until a launcher may wait,
// or clients may have taken or given back tokens (Look). `unread` and `held`
// are the tokens in the pool and those that clients hold, `firstTokenInMs` how
// long the first token has still to wait. Cannot fail.
Wake waitForWake(const Jobserver &jobserver, int unread, int held, int firstTokenInMs);
void wakeToStop(const Jobserver &jobserver);

// The serving thread, first: the runner's signals stay with its main thread.
void prepareServingThread();

// Sets a variable of the environment that the job is started with. Cannot fail.
void setJobVariable(const char *name, const QByteArray &value);

// Claims a token's slot as claimJobFile does; on Windows the runner's own slot
// stays the one that its variables name.
Hold claimTokenSlot(const JobFile &file);
