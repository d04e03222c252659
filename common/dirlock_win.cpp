#include "dirlock.h"

#include "frame.h"
#include "win.h"

// The file whose lock guards counting and claiming; it never counts as a slot.
static constexpr char lockFileName[] = "taskfan.lock";

// The directory's lock is held only while slots are counted and one is claimed;
// a wait longer than this means its holder is stopped or stuck.
constexpr ULONGLONG lockWaitBeforeNoticeMs = 1000;

Hold lockProgramDir(const QByteArray &programDir)
{
    // The system lets go of the lock when its holder dies, so a killed launcher
    // blocks nobody.
    Hold file(CreateFileW(widePath(programDir + '/' + lockFileName).c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_HIDDEN, nullptr));
    if (!file) {
        setErrno(GetLastError());
        return Hold();
    }
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
