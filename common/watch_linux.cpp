#include "watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

// A wait where no change can be watched: a full listing this often.
constexpr int pollIntervalMs = 8;
// Nothing announces a lock released by the last process of a dead job, which
// makes its pid file reclaimable; a count this often finds it.
constexpr int recountIntervalMs = 1000;

// File systems whose changes made on other machines no local watch sees.
static bool isSharedFileSystem(const QByteArray &programDir)
{
    static constexpr unsigned long shared[] = {
        0x6969,     // NFS
        0x517B,     // SMB
        0xFF534D42, // CIFS
        0xFE534D42, // SMB2
        0x65735546, // FUSE
        0x01021997, // 9P
        0x00C36400, // Ceph
    };
    struct statfs about;
    if (statfs(programDir.constData(), &about) != 0)
        return true;
    for (unsigned long type : shared) {
        if ((unsigned long)about.f_type == type)
            return true;
    }
    return false;
}

Handle watchProgramDir(const QByteArray &programDir)
{
    if (isSharedFileSystem(programDir))
        return Hold::none;
    // Slots are freed by deletions and renames; the directory going away must wake
    // its waiters too. Creations take slots and need wake nobody.
    Hold watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (watch && inotify_add_watch(watch.get(), programDir.constData(),
                                   IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) >= 0)
        return watch.release();
    return Hold::none;
}

void waitForChange(Handle watch)
{
    if (watch == Hold::none) {
        poll(nullptr, 0, pollIntervalMs);
        return;
    }
    pollfd changed = {watch, POLLIN, 0};
    if (poll(&changed, 1, recountIntervalMs) > 0) {
        alignas(inotify_event) char events[4096];
        while (read(watch, events, sizeof events) > 0) {
        }
    }
}
