#include "records.h"

#include "frame.h"
#include "jobfile.h"
#include "stream.h"
#include "win.h"

#include <cerrno>

// A record is held by its runner for a moment after it appears: how long a
// waiter waits for it.
constexpr ULONGLONG recordWaitMs = 2000;

FailureRecord holdRecord(const QByteArray &path)
{
    // Held alone, so that no other waiter reports it, and open for deleting it
    // once reported; it may be deleted by name meanwhile (one of a batch nobody
    // can join). Its runner holds it a moment longer after the rename that makes
    // it a record: that is waited out.
    FailureRecord record{path, QByteArray(), Hold()};
    // Only a regular file is a record; a directory cannot be opened as a file.
    const DWORD attributes = GetFileAttributesW(widePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = ENOENT;
        return record;
    }
    for (const ULONGLONG since = GetTickCount64(); GetTickCount64() - since < recordWaitMs;) {
        record.hold = Hold(openExistingFile(path, GENERIC_READ | DELETE, FILE_SHARE_DELETE));
        if (record.hold || GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        Sleep(1);
    }
    if (!record.hold) {
        // Only a record gone or held, or a link, is passed over; anything else is said.
        const DWORD failed = GetLastError() == ERROR_CANT_RESOLVE_FILENAME ? ERROR_FILE_NOT_FOUND : GetLastError();
        setErrno(failed);
        if (failed != ERROR_FILE_NOT_FOUND && failed != ERROR_SHARING_VIOLATION && (errno == ENOENT || errno == EBUSY))
            errno = EIO;
        return record;
    }
    // None is larger than a runner writes.
    LARGE_INTEGER size;
    if (GetFileSizeEx(record.hold.get(), &size) && size.QuadPart > largestRecord) {
        record.hold = Hold();
        errno = EFBIG;
        return record;
    }
    // Whole: a report with its standard error tail is longer than a pid file's start.
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(record.hold.get(), buffer, DWORD(sizeof buffer), &got, nullptr) && got > 0)
        record.contents.append(buffer, qsizetype(got));
    return record;
}

bool printAndDelete(FailureRecord &record, const QByteArray &report)
{
    const bool out = writeToStandardOutput(report + lineEnd);
    if (out && record.hold) {
        // A record left in place is reported again by the next waiter: said so.
        FILE_DISPOSITION_INFO deleted = {TRUE};
        if (!SetFileInformationByHandle(record.hold.get(), FileDispositionInfo, &deleted, sizeof deleted))
            printLine("Error Cannot Delete : " + record.path + systemReason(GetLastError()));
    }
    record.hold = Hold();
    return out;
}
