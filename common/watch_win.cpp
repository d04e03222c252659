#include "watch.h"

#include "win.h"

// A wait where no change can be watched: a full listing this often.
constexpr DWORD pollIntervalMs = 8;
// Nothing announces a slot given up by the last process of a dead job; a count
// this often finds it.
constexpr DWORD recountIntervalMs = 1000;

Handle watchProgramDir(const QByteArray &programDir)
{
    // Slots are freed by deletions and renames, which change the names.
    const HANDLE watch = FindFirstChangeNotificationW(widePath(programDir).c_str(), FALSE,
                                                      FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
    return watch == INVALID_HANDLE_VALUE ? Hold::none : watch;
}

void waitForChange(Handle watch)
{
    if (watch == Hold::none) {
        Sleep(pollIntervalMs);
        return;
    }
    if (WaitForSingleObject(watch, recountIntervalMs) == WAIT_OBJECT_0)
        FindNextChangeNotification(watch);
}
