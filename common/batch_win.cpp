#include "batch.h"

#include "win.h"

#include <tlhelp32.h>

// A process named as a batch: its id and its start, which tell it from a later
// process with the same id.
static QByteArray processBatch(DWORD pid)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    FILETIME created, exited, kernel, user;
    const bool known = process && GetProcessTimes(process, &created, &exited, &kernel, &user);
    if (process)
        CloseHandle(process);
    if (!known)
        return QByteArray();
    const quint64 start = (quint64(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return 'p' + QByteArray::number(uint(pid)) + '.' + QByteArray::number(start);
}

static DWORD parentProcess()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (bool more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

QByteArray currentBatch(bool *leaderGone)
{
    if (leaderGone)
        *leaderGone = false;
    // Inside a job: the batch its runner started. Otherwise the batch file's own
    // cmd.exe, which starts every program of the script as its child; Windows has
    // no sessions.
    const QByteArray runnerBatch = variable(batchVariable);
    if (!runnerBatch.isEmpty())
        return runnerBatch;
    QByteArray parent = processBatch(parentProcess());
    // A parent that started after us is a later process with a reused id: ours is gone.
    const QByteArray own = processBatch(GetCurrentProcessId());
    if (parent.isEmpty() || parent.mid(parent.indexOf('.') + 1).toULongLong() > own.mid(own.indexOf('.') + 1).toULongLong())
        return own;
    return parent;
}

static bool processLives(const QByteArray &batch)
{
    const DWORD pid = DWORD(batch.mid(1, batch.indexOf('.') - 1).toUInt());
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    // Another user's process cannot be looked at: it may be the batch's.
    if (!process && GetLastError() == ERROR_ACCESS_DENIED)
        return true;
    const bool lives = process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    if (process)
        CloseHandle(process);
    return lives && processBatch(pid) == batch;
}

bool batchLives(const QByteArray &batch)
{
    // A runner's batch is its job id: its job can place jobs while the runner
    // lives, which holds the job object named for the batch (runner/process_win.cpp);
    // the runner's end ends every process of the job.
    if (batch.startsWith('{')) {
        const HANDLE job = OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, jobObjectName(batch).c_str());
        if (job)
            CloseHandle(job);
        return job != nullptr;
    }
    return batch.startsWith('p') && processLives(batch);
}

bool sameBatch(const QByteArray &recorded, const QByteArray &current, qint64)
{
    return recorded == current;
}

QByteArray enclosingJobId(const QByteArray &)
{
    const QByteArray batch = variable(batchVariable);
    return batch.startsWith('{') ? batch : QByteArray();
}

QList<qint64> otherWaiters(const QByteArray &)
{
    return {};
}

bool isWaiter(const QByteArray &, qint64)
{
    return false;
}

bool launcherWaits(const QByteArray &)
{
    return false;
}
