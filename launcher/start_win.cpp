#include "start.h"

#include "frame.h"

#include <cerrno>
#include <string>
#include <vector>

#include <windows.h>

static HANDLE openNullDevice()
{
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                       OPEN_EXISTING, 0, nullptr);
}

bool startRunner(const QByteArray &runner, const QByteArrayList &arguments, const Hold &slot)
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
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = null;
    startup.StartupInfo.hStdOutput = output ? output : null;
    startup.StartupInfo.hStdError = null;
    // Of our handles the runner gets only these: a slot of the job that placed us,
    // inherited from it, must not live on with the job we place.
    HANDLE inherited[] = {null, output ? output : null, slot.get()};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    const bool listed = InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size)
        && UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                     sizeof inherited, nullptr, nullptr);
    if (!listed)
        startup.lpAttributeList = nullptr;
    // A process group of its own: Ctrl-C in the caller's console is not meant for
    // the jobs. Out of the job object of a job that places jobs, where that lets
    // it go: the job placed ends with its own runner, not with the caller's. Without
    // a console of ours, none is made for the runner either.
    const DWORD flags = CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT
        | (GetConsoleWindow() ? 0 : CREATE_NO_WINDOW);
    PROCESS_INFORMATION started = {};
    bool ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags | CREATE_BREAKAWAY_FROM_JOB,
                             nullptr, nullptr, &startup.StartupInfo, &started);
    if (!ok && GetLastError() == ERROR_ACCESS_DENIED)
        ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                            &startup.StartupInfo, &started);
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
