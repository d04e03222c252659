#pragma once

#include <QByteArray>
#include <QByteArrayList>

#include <optional>

// How everything in common/ fails: a function that can fail returns an empty
// result (false, std::nullopt, an empty Hold) with the reason in errno, and says
// nothing; its caller decides what to print. Only the programs, and the waiter
// as it reports, print. A function that cannot fail says so.

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
    // Kept for as long as the process lives, or let go of by whoever it went to.
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

// The entries of a directory whose names pass `wanted`, files and directories,
// not hidden ones.
std::optional<QByteArrayList> listEntries(const QByteArray &dir, bool (*wanted)(const QByteArray &name));

// Files of the program directory are opened only where they are regular files,
// never through a link (errno ELOOP, or EINVAL for another kind of file).

// At most the first 4 KiB of a file, read beside any process that holds it.
std::optional<QByteArray> readFileStart(const QByteArray &path);

// Writes the data at `offset` of an existing file, where written again it changes
// nothing; at its end where `offset` is negative.
bool writeFileAt(const QByteArray &path, qint64 offset, const QByteArray &data);

// Creates a new file with the data, never through a link.
bool createFile(const QByteArray &path, const QByteArray &data);

bool moveFile(const QByteArray &from, const QByteArray &to);
bool deleteFile(const QByteArray &path);

// Cannot fail: whether something, a link included, is there by that name; about
// how many bytes can still be written at the end of a file (the room set aside
// for it, and what its file system has free; very many where that cannot be
// told); whether a file is another user's (in a shared install the slots are
// everyone's, a user's batches and records that user's own; on Windows nothing
// is another user's).
bool fileExists(const QByteArray &path);
qint64 roomToAppend(const QByteArray &path);
bool isAnotherUsers(const QByteArray &path);

// Whether an error number says that the disk (or the user's quota) is full.
// Cannot fail.
bool isDiskFull(int error);

// Gives a file of the caller's the mode that the caller's umask gives new files,
// its owner still reading and writing it: a report is as private as its user
// wants (POSIX systems).
bool applyUmask(const QByteArray &path);
