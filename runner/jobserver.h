#pragma once

#include "files.h"
#include "job.h"

#include <QByteArray>

#include <thread>

// A build inside a job shares the install's slots through make's jobserver: a
// pool of tokens that make, cargo, rustc and GCC take one of for each command
// they run beside their first. The job's own slot is its first, implicit token;
// each token put into the pool stands for a slot of the install claimed for it
// beside the job's. One token at a time waits in the pool,
// and only while no launcher waits: one that nobody takes goes back and frees
// its slot. Tokens that come back free their slots; at the job's end every
// such slot is freed.
//
// Linux: a pipe whose ends the job inherits, or a named pipe (fifo) where the
// job's MAKEFLAGS asks for one; Windows: a named semaphore. The job finds it in
// CARGO_MAKEFLAGS always, and in MAKEFLAGS where that asks for parallel make
// with a -j without a number or names a jobserver already.

struct Jobserver
{
    QByteArray programDir;
    JobFile job;
    int limit = 1;
    // Linux: the pipe's read end, which the job inherits; Windows: the semaphore.
    Hold pool;
    // Linux: the write end that the job inherits, and the runner's own read
    // end, which never blocks.
    Hold poolWriteEnd;
    Hold own;
    // What ends the serving: an eventfd on Linux, an event on Windows; and the
    // watch on the program directory.
    Hold stop;
    Handle watch = Hold::none;
    // The named pipe, where the job asked for one.
    QByteArray fifo;
    // The words that name it in MAKEFLAGS and in CARGO_MAKEFLAGS.
    QByteArray makeAuth;
    QByteArray cargoAuth;
    // Linux: a client's take of the last token in the pool wakes the server.
    bool takesWake = false;
    std::thread server;
};

// Before the job starts: sets the pool up for the job of that file and names it
// in the environment that the job is started with. False (errno) where it
// cannot: the job then runs without one, its environment as it was.
bool openJobserver(Jobserver &jobserver, const QByteArray &programDir, const JobFile &job);

// Once the job has started: serves the pool beside it.
void serveJobserver(Jobserver &jobserver);

// Once the job has ended: takes back the tokens that nobody took, frees every
// slot claimed for tokens, whatever the job's processes did with theirs, and
// closes the pool.
void endJobserver(Jobserver &jobserver);
