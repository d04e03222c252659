#include "dirlock.h"

#include "frame.h"
#include "win.h"

// The file whose lock guards counting and claiming; it never counts as a slot.
static constexpr char lockFileName[] = "taskfan.lock";

// The directory's lock is held only while slots are counted and one is claimed;
// a wait longer than this means its holder is stopped or stuck.
constexpr ULONGLONG lockWaitBeforeNoticeMs = 1000;

static Hold openLockFile(const QByteArray &programDir)
{
    Hold file(CreateFileW(widePath(programDir + '/' + lockFileName).c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!file)
        setErrno(GetLastError());
    return file;
}

Hold lockProgramDir(const QByteArray &programDir)
{
    // The system lets go of the lock when its holder dies, so a killed launcher
    // blocks nobody.
    Hold file = openLockFile(programDir);
    if (!file)
        return Hold();
    OVERLAPPED whole = {};
    bool locked = LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole);
    // Timed, not counted: a Sleep(1) may last a whole timer tick, 15 ms.
    const ULONGLONG since = GetTickCount64();
    while (!locked && GetLastError() == ERROR_LOCK_VIOLATION) {
        if (GetTickCount64() - since >= lockWaitBeforeNoticeMs) {
            printLine("Waiting For Lock : " + programDir);
            locked = LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole);
            break;
        }
        Sleep(1);
        locked = LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole);
    }
    if (!locked) {
        setErrno(GetLastError());
        return Hold();
    }
    return file;
}

Hold waitInLine(const QByteArray &)
{
    return Hold();
}

// Waiting launchers share a lock of the lock file's second byte; the first is
// the directory's lock.
static OVERLAPPED waitingByte()
{
    OVERLAPPED at = {};
    at.Offset = 1;
    return at;
}

Hold markWaitingForSlot(const QByteArray &programDir)
{
    Hold file = openLockFile(programDir);
    OVERLAPPED at = waitingByte();
    // Held up only for the moment a runner looks.
    if (file && !LockFileEx(file.get(), 0, 0, 1, 0, &at)) {
        setErrno(GetLastError());
        file = Hold();
    }
    return file;
}

bool launchersWaitForSlots(const QByteArray &programDir)
{
    const Hold file = openLockFile(programDir);
    OVERLAPPED at = waitingByte();
    if (!file)
        return false;
    if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
        return GetLastError() == ERROR_LOCK_VIOLATION;
    UnlockFileEx(file.get(), 0, 1, 0, &at);
    return false;
}
