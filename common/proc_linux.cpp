#include "proc_linux.h"

#include "files.h"

#include <QFile>

#include <dirent.h>
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
    const QByteArrayList fields = stat->mid(nameEnd + 2).split(' ');
    if (fields.size() < 20)
        return std::nullopt;
    return ProcessStat{stat->mid(nameStart + 1, nameEnd - nameStart - 1), fields[0].isEmpty() ? char(0) : fields[0][0],
                       fields[2].toLongLong(), fields[3].toLongLong(), fields[19]};
}

QByteArray bootId()
{
    static const QByteArray id = [] {
        const std::optional<QByteArray> read = readFileStart("/proc/sys/kernel/random/boot_id");
        return read && read->size() >= 8 ? read->left(8) : QByteArray("0");
    }();
    return id;
}

// Whether any process but `except` matches; yes where /proc cannot be listed.
template<typename Matches>
static bool anyProcess(const QByteArray &except, Matches matches)
{
    DIR *processes = opendir("/proc");
    if (!processes)
        return true;
    bool found = false;
    while (const dirent *entry = readdir(processes)) {
        const QByteArray pid(entry->d_name);
        if (found || pid.isEmpty() || pid[0] < '1' || pid[0] > '9' || pid == except)
            continue;
        const std::optional<ProcessStat> process = processStat(pid);
        // A zombie has ended; only its parent has yet to hear of it.
        found = process && process->state != 'Z' && matches(*process);
    }
    closedir(processes);
    return found;
}

bool sessionHasMembers(const QByteArray &session)
{
    return anyProcess(session, [&](const ProcessStat &process) { return QByteArray::number(process.session) == session; });
}

bool groupHasMembers(pid_t group)
{
    return anyProcess(QByteArray(), [&](const ProcessStat &process) { return process.group == group; });
}

QByteArrayList processWords(pid_t pid)
{
    const std::optional<QByteArray> words = readFileStart("/proc/" + QByteArray::number(pid) + "/cmdline");
    return words ? words->split('\0') : QByteArrayList();
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
    DIR *processes = opendir("/proc");
    if (!processes)
        return pids;
    while (const dirent *entry = readdir(processes)) {
        if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9')
            pids.append(pid_t(QByteArray(entry->d_name).toInt()));
    }
    closedir(processes);
    return pids;
}
