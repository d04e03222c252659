#pragma once

// What the POSIX files of common/ and of the programs share (files_posix.cpp,
// spawn_posix.cpp).

#include "files.h"

#include <sys/types.h>

// Opens an existing regular file, never through a link (ELOOP; EINVAL for
// another kind of file), without making it our terminal or waiting for a FIFO's
// writer.
Hold openExisting(const QByteArray &path, int flags);

// flock() that goes on where a signal broke it off.
bool lockFile(int fd, int operation);

// Whatever the caller's umask: a file that its owner cannot read or write could
// be neither reclaimed nor taken as a record. Cannot fail.
void letOwnerReadAndWrite(int fd);

// Starts the program words[0] with the words as its arguments and our environment,
// as vfork does: without a copy of our memory, and without posix_spawn's reset of
// every signal, two system calls each, which cost more on these machines than the
// rest of a start. `prepare` runs in the child, on our memory and stack until the
// exec, so it makes only system calls; it sets the child's signal mask and
// returns false, with errno, where the child cannot start. Meanwhile every signal
// is held back, so that none reaches a handler of ours in the child. The child's
// pid; -1 with errno where it did not start, a failed exec included.
pid_t startAsVforkDoes(const QByteArrayList &words, bool (*prepare)(const void *context), const void *context);

// Opens the null device as descriptor `fd`, as a new process's standard input or
// error. Only system calls: a `prepare` of startAsVforkDoes may call it.
bool openNullDeviceAs(int fd, int flags);
