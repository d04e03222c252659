#include "batch.h"

#include "frame.h"
#include "proc_linux.h"

#include <algorithm>

#include <unistd.h>

// A session whose leader is outside our pid namespace (a container entered
// from outside) has the id 0 here: the namespace stands for its leader, and its
// first process lives as long as it does.
static QByteArray leaderOf(const QByteArray &session)
{
    return session == "0" ? QByteArray("1") : session;
}

QByteArray currentBatch(bool *leaderGone)
{
    // A session id alone comes back once the session has ended; its leader's
    // start does not. A session whose leader has gone is "0".
    const QByteArray session = QByteArray::number(getsid(0));
    const std::optional<ProcessStat> leader = processStat(leaderOf(session));
    if (leaderGone)
        *leaderGone = !leader || leader->state == 'Z';
    const bool led = leader && (session == "0" || QByteArray::number(leader->session) == session);
    return bootId() + ':' + session + ':' + (led ? leader->startTime : QByteArray("0"));
}

// What became of the leader of a batch's session.
enum class Leader { Alive, Zombie, Ended, Replaced, Unknown };

static Leader batchLeader(const QByteArray &batch, QByteArray *session)
{
    const QByteArrayList parts = batch.split(':');
    // Of another boot, nothing of it is left.
    if (parts.size() != 3 || parts[0] != bootId())
        return Leader::Replaced;
    *session = parts[1];
    if (parts[2] == "0")
        return Leader::Unknown;
    const std::optional<ProcessStat> leader = processStat(leaderOf(parts[1]));
    if (!leader)
        return Leader::Ended;
    // A session id is given to no new process while any process of that session
    // lives: a new holder means that nothing of the old session is left.
    if (leader->startTime != parts[2])
        return Leader::Replaced;
    return leader->state == 'Z' ? Leader::Zombie : Leader::Alive;
}

bool batchLives(const QByteArray &batch)
{
    // Once its leader has ended, the rest of the session can still join the
    // batch, under the name that sameBatch matches.
    QByteArray session;
    switch (batchLeader(batch, &session)) {
    case Leader::Alive:
        return true;
    case Leader::Replaced:
        return false;
    default:
        return sessionHasMembers(session);
    }
}

// Whether a member of the caller's session, the caller included, started before
// `placedAt` (ms since the boot); yes where that is not known.
static bool memberBefore(qint64 placedAt)
{
    if (placedAt <= 0)
        return true;
    const qint64 ticksPerSecond = sysconf(_SC_CLK_TCK);
    QList<pid_t> members = sessionMembers(getsid(0));
    members.append(getpid());
    // A tick's slack: starts are told in ticks.
    return ticksPerSecond <= 0 || std::any_of(members.begin(), members.end(), [&](pid_t member) {
               const std::optional<ProcessStat> process = processStat(QByteArray::number(member));
               return process && (process->startTime.toLongLong() - 1) * 1000 / ticksPerSecond <= placedAt;
           });
}

bool sameBatch(const QByteArray &recorded, const QByteArray &current, qint64 placedAt)
{
    // Once its leader has been reaped, the members of a session name their batch
    // with ":0": a session id is not given out again while any of them lives, so
    // a session of that id whose members all came after the job is another one.
    const bool leaderless = current.endsWith(":0");
    if (recorded == current)
        return !leaderless || memberBefore(placedAt);
    QByteArray session;
    return leaderless && recorded.startsWith(current.chopped(1)) && batchLeader(recorded, &session) == Leader::Ended
        && memberBefore(placedAt);
}

QByteArray enclosingJobId(const QByteArray &programDir)
{
    // A runner leads the session that its job runs in.
    return runnerJobOf(runnerPath(programDir), getsid(0));
}

bool isWaiter(const QByteArray &programDir, qint64 pid)
{
    return programOf(pid_t(pid)) == waiterPath(programDir);
}

bool launcherWaits(const QByteArray &programDir)
{
    for (const pid_t member : sessionMembers(getsid(0))) {
        // One stopped with Ctrl-Z places nothing until it is let go on.
        const std::optional<ProcessStat> process = processStat(QByteArray::number(member));
        if (process && process->state != 'T' && process->state != 't' && programOf(member) == launcherPath(programDir))
            return true;
    }
    return false;
}

QList<qint64> otherWaiters(const QByteArray &programDir)
{
    QList<qint64> waiters;
    for (const pid_t member : sessionMembers(getsid(0))) {
        if (isWaiter(programDir, member))
            waiters.append(member);
    }
    return waiters;
}
