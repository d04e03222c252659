#pragma once

#include <QByteArray>
#include <QByteArrayList>

#include <optional>

#include <sys/types.h>

// What Linux says of its processes under /proc, read only here. Where it cannot
// be read, the answer is the one each names.

// A process's name, its state, its process group and session, and when it
// started, in clock ticks since the boot.
struct ProcessStat
{
    QByteArray name;
    char state = 0;
    qint64 group = -1;
    qint64 session = -1;
    QByteArray startTime;
};
std::optional<ProcessStat> processStat(const QByteArray &pid);

// Tells batches of one session id from before and after a reboot.
QByteArray bootId();

// Whether a process other than the leader lives in the session; yes where /proc
// cannot be listed. It looks at every process: only for where a slot or record
// may be given up.
bool sessionHasMembers(const QByteArray &session);

// Whether a process that has not ended is in the process group; yes where
// /proc cannot be listed.
bool groupHasMembers(pid_t group);

// The other processes of a session that have not ended; none where /proc cannot
// be listed.
QList<pid_t> sessionMembers(pid_t session);

// The file a process runs, links followed; empty where it cannot be told (another
// user's process).
QByteArray programOf(pid_t pid);

// The job id that a process runs, where it is the runner `runner` started by
// a launcher (its words: the runner, the job id, the job's words); empty for
// any other process.
QByteArray runnerJobOf(const QByteArray &runner, pid_t pid);

// "process 1234 (name)", for a notice; "(?)" where its name cannot be read.
QByteArray describeProcess(pid_t pid);

// Who holds the flock on the file open at fd; 0 when nobody does.
pid_t flockHolder(int fd);

// Every process's id, as /proc lists them; none where it cannot be listed.
QList<pid_t> listProcesses();
