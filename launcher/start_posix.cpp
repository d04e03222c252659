#include "start.h"

#include "job.h"

#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char **environ;

bool startRunner(const QByteArray &runner, const QByteArrayList &arguments, const Hold &slot)
{
    std::vector<char *> argv{const_cast<char *>(runner.constData())};
    for (const QByteArray &argument : arguments)
        argv.push_back(const_cast<char *>(argument.constData()));
    argv.push_back(nullptr);

    // The lock becomes descriptor 3, kept across the exec even where it is 3
    // already; everything above it closes.
    constexpr int lockInRunner = heldSlotDescriptor;
    fcntl(slot.get(), F_SETFD, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, slot.get(), lockInRunner);
    posix_spawn_file_actions_addclosefrom_np(&actions, lockInRunner + 1);
    // The signals the runner passes on to its job are held back until its handler
    // is set: one that came while it started would end it before its job began.
    sigset_t held;
    sigprocmask(SIG_SETMASK, nullptr, &held);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&held, signalNumber);
    // A session of its own: Ctrl-C in the caller's terminal is not meant for the jobs.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setsigmask(&attributes, &held);

    // glibc starts the runner as vfork does, without copying the launcher, and
    // reports a failed exec here.
    pid_t pid;
    const int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    errno = failed;
    return failed == 0;
}
