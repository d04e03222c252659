#pragma once

#include <QByteArray>

// Failures: an empty result (false, std::nullopt, an empty Hold), the reason in
// errno; "after saying so" where a line on standard output said it too.

// What the POSIX files of common/ share (files_posix.cpp).

// Opens an existing file without making it our terminal or waiting for a FIFO's
// writer; -1 with errno.
int openExisting(const QByteArray &path, int flags);

// flock() that goes on where a signal broke it off; -1 with errno.
int lockFile(int fd, int operation);

// Reads up to `size` bytes from where the descriptor stands.
QByteArray readStart(int fd, qsizetype size = 4096);
