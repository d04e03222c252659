#include "start.h"

#include "frame.h"

#include <cerrno>
#include <string>

#include <windows.h>

static HANDLE openNullDevice()
{
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                       OPEN_EXISTING, 0, nullptr);
}

bool startRunner(const QByteArray &runner, const QByteArrayList &arguments, int)
{
    // The job id, then our own words as typed: the runner hands them to cmd.exe as
    // they are, so they are never split into words and quoted again on the way.
    std::wstring line = QString::fromUtf8(runner + ' ' + arguments.value(0)).toStdWString();
    const QString words = commandLineRest(0);
    if (!words.isEmpty())
        line += L' ' + words.toStdWString();

    HANDLE output = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(), &output, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    const HANDLE null = openNullDevice();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null;
    startup.hStdOutput = output ? output : null;
    startup.hStdError = null;
    // A process group of its own: Ctrl-C in the caller's console is not meant for
    // the jobs. Out of the job object of a job that places jobs, where that lets
    // it go: the job placed ends with its own runner, not with the caller's. Without
    // a console of ours, none is made for the runner either.
    const DWORD flags = CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT
        | (GetConsoleWindow() ? 0 : CREATE_NO_WINDOW);
    PROCESS_INFORMATION started = {};
    // The handle of the slot goes to the runner with the others marked inheritable.
    bool ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags | CREATE_BREAKAWAY_FROM_JOB,
                             nullptr, nullptr, &startup, &started);
    if (!ok && GetLastError() == ERROR_ACCESS_DENIED)
        ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup,
                            &started);
    if (ok) {
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
        return true;
    }
    const DWORD error = GetLastError();
    errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
        : error == ERROR_ACCESS_DENIED                                    ? EACCES
                                                                          : EINVAL;
    return false;
}
