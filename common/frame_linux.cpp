#include "frame.h"

#include <cerrno>
#include <climits>

#include <unistd.h>

QByteArrayList commandLine(int argc, char **argv)
{
    QByteArrayList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i)
        arguments.append(QByteArray(argv[i]));
    return arguments;
}

QByteArray programDirectory()
{
    // The kernel's own record of the running file, read once: if the file is
    // replaced later (an upgrade while jobs run), the link no longer names a directory.
    QByteArray path(PATH_MAX, Qt::Uninitialized);
    const ssize_t length = readlink("/proc/self/exe", path.data(), size_t(path.size()));
    const int error = length < 0 ? errno : ENAMETOOLONG;
    const qsizetype slash = length > 0 && length < path.size() ? path.lastIndexOf('/', length - 1) : -1;
    if (slash < 0) {
        errno = error;
        return QByteArray();
    }
    // A program in the root directory keeps its "/".
    path.truncate(slash == 0 ? 1 : slash);
    return path;
}

QByteArray runnerPath(const QByteArray &programDir)
{
    return programDir + "/taskexec";
}

QByteArray waiterPath(const QByteArray &programDir)
{
    return programDir + "/taskjoin";
}

QByteArray launcherPath(const QByteArray &programDir)
{
    return programDir + "/taskfan";
}
