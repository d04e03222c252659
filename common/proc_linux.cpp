#include "proc_linux.h"

#include "files.h"

#include <QFile>

#include <climits>

#include <dirent.h>
#include <unistd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

std::optional<ProcessStat> processStat(const QByteArray &pid)
{
    const std::optional<QByteArray> stat = readFileStart("/proc/" + pid + "/stat");
    // The fields after the command name, which may hold blanks, start after its ')'.
    const qsizetype nameStart = stat ? stat->indexOf('(') : -1;
    const qsizetype nameEnd = stat ? stat->lastIndexOf(')') : -1;
    if (nameStart < 0 || nameEnd < nameStart)
        return std::nullopt;
    // Only the few fields wanted, found in place: every launcher reads several
    // of these, and a waiter one for every process.
    const QByteArrayView rest = QByteArrayView(*stat).sliced(std::min(nameEnd + 2, stat->size()));
    QByteArrayView fields[20];
    qsizetype at = 0;
    for (QByteArrayView &field : fields) {
        if (at > rest.size())
            return std::nullopt;
        const qsizetype blank = rest.indexOf(' ', at);
        const qsizetype end = blank < 0 ? rest.size() : blank;
        field = rest.sliced(at, end - at);
        at = end + 1;
    }
    return ProcessStat{stat->mid(nameStart + 1, nameEnd - nameStart - 1), fields[0].isEmpty() ? char(0) : fields[0][0],
                       fields[2].toLongLong(), fields[3].toLongLong(), fields[19].toByteArray()};
}

QByteArray bootId()
{
    static const QByteArray id = [] {
        const std::optional<QByteArray> read = readFileStart("/proc/sys/kernel/random/boot_id");
        return read && read->size() >= 8 ? read->left(8) : QByteArray("0");
    }();
    return id;
}

// Calls `each` with the id of every process, as /proc lists them, until it
// returns false; false where /proc cannot be listed.
template<typename Each>
static bool forEachProcess(Each each)
{
    DIR *processes = opendir("/proc");
    if (!processes)
        return false;
    while (const dirent *entry = readdir(processes)) {
        const QByteArray pid(entry->d_name);
        if (!pid.isEmpty() && pid[0] >= '1' && pid[0] <= '9' && !each(pid))
            break;
    }
    closedir(processes);
    return true;
}

// The processes but `except` that have not ended and match, or the first of
// them only; none where /proc cannot be listed.
template<typename Matches>
static std::optional<QList<pid_t>> processesWhere(const QByteArray &except, Matches matches, bool firstOnly)
{
    QList<pid_t> found;
    const bool listed = forEachProcess([&](const QByteArray &pid) {
        const std::optional<ProcessStat> process = pid == except ? std::nullopt : processStat(pid);
        // A zombie has ended; only its parent has yet to hear of it.
        if (process && process->state != 'Z' && matches(*process))
            found.append(pid_t(pid.toLongLong()));
        return !firstOnly || found.isEmpty();
    });
    return listed ? std::optional<QList<pid_t>>(found) : std::nullopt;
}

// Whether any process but `except` matches; yes where /proc cannot be listed.
template<typename Matches>
static bool anyProcess(const QByteArray &except, Matches matches)
{
    const std::optional<QList<pid_t>> found = processesWhere(except, matches, true);
    return !found || !found->isEmpty();
}

QList<pid_t> sessionMembers(pid_t session)
{
    const auto inSession = [&](const ProcessStat &process) { return process.session == session; };
    return processesWhere(QByteArray::number(getpid()), inSession, false).value_or(QList<pid_t>());
}

QByteArray programOf(pid_t pid)
{
    QByteArray path(PATH_MAX, Qt::Uninitialized);
    const ssize_t length = readlink(("/proc/" + QByteArray::number(pid) + "/exe").constData(), path.data(),
                                    size_t(path.size()));
    return length > 0 && length < path.size() ? path.left(length) : QByteArray();
}

bool sessionHasMembers(const QByteArray &session)
{
    return anyProcess(session,
                      [&](const ProcessStat &process) { return QByteArray::number(process.session) == session; });
}

bool groupHasMembers(pid_t group)
{
    return anyProcess(QByteArray(), [&](const ProcessStat &process) { return process.group == group; });
}

QByteArray runnerJobOf(const QByteArray &runner, pid_t pid)
{
    const std::optional<QByteArray> read = readFileStart("/proc/" + QByteArray::number(pid) + "/cmdline");
    const QByteArrayList words = read ? read->split('\0') : QByteArrayList();
    return words.size() > 2 && words[0] == runner ? words[1] : QByteArray();
}

QByteArray describeProcess(pid_t pid)
{
    const std::optional<ProcessStat> process = processStat(QByteArray::number(pid));
    return "process " + QByteArray::number(pid) + " (" + (process ? process->name : QByteArray("?")) + ")";
}

// The kernel lists every lock in /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234
// 08:01:5678 0 EOF", waiters marked with "->".
pid_t flockHolder(int fd)
{
    struct stat file;
    QFile locks(QStringLiteral("/proc/locks"));
    if (fstat(fd, &file) != 0 || !locks.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray inode = QByteArray::number(major(file.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(minor(file.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(quint64(file.st_ino));
    // Every launcher in line reads it once a second, and it lists each of them:
    // the lines of other files are passed over unparsed.
    for (const QByteArray &line : locks.readAll().split('\n')) {
        if (!line.contains(inode))
            continue;
        const QByteArrayList fields = line.simplified().split(' ');
        if (fields.size() > 5 && fields[1] == "FLOCK" && fields[5] == inode)
            return pid_t(fields[4].toInt());
    }
    return 0;
}

QList<pid_t> listProcesses()
{
    QList<pid_t> pids;
    forEachProcess([&](const QByteArray &pid) {
        pids.append(pid_t(pid.toInt()));
        return true;
    });
    return pids;
}
