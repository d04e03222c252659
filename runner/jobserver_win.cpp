#include "jobserver_os.h"

#include "win.h"

#include <QUuid>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string>

// Nothing announces a slot given up by a dead job; a count this often finds it,
// as a waiting launcher's does.
constexpr DWORD recountIntervalMs = 1000;
// Nothing tells a server that clients took or gave back tokens, or that a
// launcher waits: it looks this often while clients hold tokens, and while a
// token waits in the pool.
constexpr DWORD busyLookIntervalMs = 50;
constexpr DWORD idleLookIntervalMs = 200;

bool createPool(Jobserver &jobserver, bool)
{
    // A name as GNU make gives its own; the count starts empty, and the
    // system refuses more than the server may ever put out.
    const QByteArray name = "taskfan_jobserver_" + QUuid::createUuid().toByteArray(QUuid::Id128);
    const LONG most = std::max(1, jobserver.limit - 1);
    jobserver.pool = Hold(CreateSemaphoreW(nullptr, 0, most, QString::fromUtf8(name).toStdWString().c_str()));
    const DWORD error = GetLastError();
    if (jobserver.pool && error == ERROR_ALREADY_EXISTS) {
        jobserver.pool = Hold();
        errno = EEXIST;
        return false;
    }
    jobserver.stop = Hold(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!jobserver.pool || !jobserver.stop) {
        setErrno(jobserver.pool ? GetLastError() : error);
        closePool(jobserver);
        return false;
    }
    const HANDLE watch = FindFirstChangeNotificationW(widePath(jobserver.programDir).c_str(), FALSE,
                                                      FILE_NOTIFY_CHANGE_FILE_NAME);
    jobserver.watch = watch == INVALID_HANDLE_VALUE ? Hold::none : watch;
    jobserver.cargoAuth = "--jobserver-auth=" + name;
    jobserver.makeAuth = jobserver.cargoAuth;
    return true;
}

void closePool(Jobserver &jobserver)
{
    jobserver.pool = Hold();
    jobserver.stop = Hold();
    if (jobserver.watch != Hold::none)
        FindCloseChangeNotification(jobserver.watch);
    jobserver.watch = Hold::none;
}

int tokensUnread(const Jobserver &jobserver)
{
    // The count cannot be read, only taken from and given back to.
    LONG before = 0;
    if (WaitForSingleObject(jobserver.pool.get(), 0) != WAIT_OBJECT_0)
        return 0;
    return ReleaseSemaphore(jobserver.pool.get(), 1, &before) ? int(before) + 1 : 0;
}

bool putToken(const Jobserver &jobserver)
{
    if (ReleaseSemaphore(jobserver.pool.get(), 1, nullptr))
        return true;
    setErrno(GetLastError());
    return false;
}

bool withdrawToken(const Jobserver &jobserver)
{
    return WaitForSingleObject(jobserver.pool.get(), 0) == WAIT_OBJECT_0;
}

Wake waitForWake(const Jobserver &jobserver, int unread, int held, int firstTokenInMs)
{
    const bool watched = jobserver.watch != Hold::none;
    DWORD timeoutMs = held > 0 || !watched ? busyLookIntervalMs : unread > 0 ? idleLookIntervalMs : recountIntervalMs;
    if (firstTokenInMs > 0)
        timeoutMs = std::min(timeoutMs, DWORD(firstTokenInMs));
    const HANDLE handles[2] = {jobserver.stop.get(), jobserver.watch};
    const DWORD got = WaitForMultipleObjects(watched ? 2 : 1, handles, FALSE, timeoutMs);
    if (got == WAIT_OBJECT_0)
        return Wake::Stop;
    if (got == WAIT_OBJECT_0 + 1) {
        FindNextChangeNotification(jobserver.watch);
        return Wake::Count;
    }
    return timeoutMs == recountIntervalMs || timeoutMs == DWORD(firstTokenInMs) || !watched ? Wake::Count : Wake::Look;
}

void wakeToStop(const Jobserver &jobserver)
{
    SetEvent(jobserver.stop.get());
}

void prepareServingThread()
{
}

void setJobVariable(const char *name, const QByteArray &value)
{
    SetEnvironmentVariableW(QString::fromUtf8(name).toStdWString().c_str(),
                            QString::fromUtf8(value).toStdWString().c_str());
}

// A variable's value as it stands, to be put back; empty where unset.
static std::wstring keptVariable(const wchar_t *name)
{
    wchar_t value[256];
    const DWORD length = GetEnvironmentVariableW(name, value, DWORD(std::size(value)));
    return length > 0 && length < std::size(value) ? std::wstring(value, length) : std::wstring();
}

Hold claimTokenSlot(const JobFile &file)
{
    // A claim names its slot's handle and batch in the environment, as the
    // launcher's does for its runner; the runner's own stay those of its job.
    const std::wstring slot = keptVariable(slotVariable), batch = keptVariable(batchVariable);
    Hold claimed = claimJobFile(file);
    SetEnvironmentVariableW(slotVariable, slot.empty() ? nullptr : slot.c_str());
    SetEnvironmentVariableW(batchVariable, batch.empty() ? nullptr : batch.c_str());
    // No process started later inherits it.
    if (claimed)
        SetHandleInformation(claimed.get(), HANDLE_FLAG_INHERIT, 0);
    return claimed;
}
