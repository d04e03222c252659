#pragma once

#include <QByteArray>
#include <QByteArrayList>

#include <optional>

// Failures, here and in every header of common/: an empty result (false,
// std::nullopt, an empty Hold), the reason in errno; "after saying so" where a
// line on standard output said it too.

#ifdef Q_OS_WIN
using Handle = void *; // a HANDLE
#else
using Handle = int; // a file descriptor
#endif

// A lock or an open file that this process holds, let go of when it goes out of
// scope. Move-only: one owner at a time.
struct Hold
{
    Hold() = default;
    explicit Hold(Handle handle);
    Hold(Hold &&other) noexcept : handle(other.release()) {}
    Hold &operator=(Hold &&other) noexcept
    {
        Hold gone(release());
        handle = other.release();
        return *this;
    }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;
    ~Hold();

    explicit operator bool() const { return handle != none; }
    Handle get() const { return handle; }
    // No longer let go of here: kept for as long as the process lives, or let go
    // of by whoever it was handed to.
    Handle release()
    {
        const Handle kept = handle;
        handle = none;
        return kept;
    }

#ifdef Q_OS_WIN
    static constexpr Handle none = nullptr;
#else
    static constexpr Handle none = -1;
#endif
    Handle handle = none;
};

// The entries of the program directory whose names pass `wanted`, files and
// directories, not hidden ones. None, after saying so, when it cannot be listed.
std::optional<QByteArrayList> listEntries(const QByteArray &programDir, bool (*wanted)(const QByteArray &name));

// Files of the program directory are opened only where they are regular files,
// never through a link (on POSIX systems errno is then ELOOP, or EINVAL for
// another kind of file).

// At most the first 4 KiB of a file, read beside any process that holds it.
std::optional<QByteArray> readFileStart(const QByteArray &path);

// Appends to an existing file.
bool appendToFile(const QByteArray &path, const QByteArray &data);

// Sets room aside at the end of an existing file for `size` bytes more, where
// the system can (POSIX systems).
bool reserveRoom(const QByteArray &path, qsizetype size);

// About how many bytes can still be appended to an existing file: the room set
// aside for it, and what its file system has free; very many where that cannot
// be told.
qint64 roomToAppend(const QByteArray &path);

// Whether a file is another user's. In an install that users share, the slots
// are everyone's, but a user's batches, jobs and records are that user's own
// (POSIX systems; on Windows nothing is another user's).
bool isAnotherUsers(const QByteArray &path);

// Gives a file of the caller's the mode that the caller's umask gives new files,
// its owner still reading and writing it: a report is as private as its user
// wants (POSIX systems).
bool applyUmask(const QByteArray &path);

// Creates a new file with the data, never through a link.
bool createFile(const QByteArray &path, const QByteArray &data);

// By name: a slot's own pid file is renamed and deleted through slotfile.h.
bool moveFile(const QByteArray &from, const QByteArray &to);
bool deleteFile(const QByteArray &path);
