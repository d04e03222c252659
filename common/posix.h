#pragma once

// What the POSIX files of common/ share (files_posix.cpp).

#include "files.h"

// Opens an existing regular file, never through a link (ELOOP; EINVAL for
// another kind of file), without making it our terminal or waiting for a FIFO's
// writer.
Hold openExisting(const QByteArray &path, int flags);

// flock() that goes on where a signal broke it off.
bool lockFile(int fd, int operation);

// Whatever the caller's umask: a file that its owner cannot read or write could
// be neither reclaimed nor taken as a record. Cannot fail.
void letOwnerReadAndWrite(int fd);

// Opens the null device as descriptor `fd`, as a new process's standard input or
// error. Only system calls: a child started by vfork may call it.
bool openNullDeviceAs(int fd, int flags);
