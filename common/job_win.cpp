#include "job_os.h"

#include "win.h"

#include <cerrno>
#include <iterator>
#include <vector>

// How long a waiter waits for a record that another holds.
constexpr ULONGLONG recordWaitMs = 2000;

// The slot this process holds, handed down from the launcher; null where none is.
static HANDLE heldSlot()
{
    bool ok = false;
    const HANDLE slot = reinterpret_cast<HANDLE>(qintptr(variable(slotVariable).toLongLong(&ok)));
    // A process that has the variable but not the handle: the value may be anything.
    return ok && GetFileType(slot) == FILE_TYPE_DISK ? slot : nullptr;
}

static QByteArray fileNameOf(HANDLE file)
{
    wchar_t path[32768];
    const DWORD length = GetFinalPathNameByHandleW(file, path, DWORD(std::size(path)), FILE_NAME_NORMALIZED);
    if (length == 0 || length >= std::size(path))
        return QByteArray();
    const QString name = QString::fromWCharArray(path, int(length));
    return name.mid(name.lastIndexOf(u'\\') + 1).toUtf8();
}

// The slot this process holds, where the path names it; null otherwise.
static HANDLE heldSlotAt(const QByteArray &path)
{
    const HANDLE slot = heldSlot();
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    return slot && fileNameOf(slot).compare(name, Qt::CaseInsensitive) == 0 ? slot : nullptr;
}

static void letGoOfSlot(HANDLE slot)
{
    CloseHandle(slot);
    SetEnvironmentVariableW(slotVariable, nullptr);
}

static bool markDeleted(HANDLE file)
{
    FILE_DISPOSITION_INFO deleted = {TRUE};
    if (SetFileInformationByHandle(file, FileDispositionInfo, &deleted, sizeof deleted))
        return true;
    setErrno(GetLastError());
    return false;
}

Hold createJobFile(const QByteArray &path, const QByteArray &lines, const QByteArray &jobId)
{
    // Inherited by the runner and every process of its job, without delete
    // sharing: while any of them lives, nobody can delete or rename it.
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    Hold slot(CreateFileW(widePath(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
    if (!slot) {
        setErrno(GetLastError());
        return Hold();
    }
    DWORD written = 0;
    if (!WriteFile(slot.get(), lines.constData(), DWORD(lines.size()), &written, nullptr)
        || written != DWORD(lines.size())) {
        const DWORD error = GetLastError();
        markDeleted(slot.get());
        setErrno(error == ERROR_SUCCESS ? ERROR_DISK_FULL : error);
        return Hold();
    }
    SetEnvironmentVariableW(slotVariable, QString::number(qintptr(slot.get())).toStdWString().c_str());
    SetEnvironmentVariableW(batchVariable, QString::fromUtf8(jobId).toStdWString().c_str());
    return slot;
}

bool holdsJobFile(const QByteArray &path)
{
    return heldSlotAt(path) != nullptr;
}

Hold openJobFile(const QByteArray &path, bool *unheld)
{
    // Delete access is had only where no process of the job holds it.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    Hold file(openExistingFile(path, GENERIC_READ | DELETE, share));
    *unheld = bool(file);
    if (!file && GetLastError() == ERROR_SHARING_VIOLATION)
        file = Hold(openExistingFile(path, GENERIC_READ, share));
    if (!file)
        setErrno(GetLastError());
    return file;
}

bool moveJobFile(const QByteArray &path, const QByteArray &to)
{
    const HANDLE slot = heldSlotAt(path);
    if (!slot)
        return moveFile(path, to);
    const std::wstring target = widePath(to);
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->FileNameLength = DWORD(target.size() * sizeof(wchar_t));
    std::copy(target.begin(), target.end(), rename->FileName);
    if (!SetFileInformationByHandle(slot, FileRenameInfo, rename, DWORD(buffer.size()))) {
        setErrno(GetLastError());
        return false;
    }
    letGoOfSlot(slot);
    return true;
}

bool deleteJobFile(const QByteArray &path)
{
    // Its name goes once the last process of the job has let go of it.
    const HANDLE slot = heldSlotAt(path);
    if (!slot)
        return deleteFile(path);
    const bool marked = markDeleted(slot);
    const int error = errno;
    letGoOfSlot(slot);
    errno = error;
    return marked;
}

qint64 madeSinceBoot(const QByteArray &)
{
    return 0;
}

// No room is set aside here: a full disk cuts the report short.
bool reserveRoom(const QByteArray &, qsizetype)
{
    return true;
}

bool createRecord(const QByteArray &path, const QByteArray &lines)
{
    // Made without sharing: a waiter that opens it meanwhile waits.
    return createFile(path, lines);
}

Hold holdRecordFile(const QByteArray &path)
{
    // Open for deleting it once reported; its runner holds it a moment longer
    // after the rename that makes it a record, which is waited out.
    Hold record;
    // A directory is no record, and cannot be opened as a file.
    const DWORD attributes = GetFileAttributesW(widePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        errno = ENOENT;
        return record;
    }
    for (const ULONGLONG since = GetTickCount64(); GetTickCount64() - since < recordWaitMs;) {
        record = Hold(openExistingFile(path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE));
        // A read-only one is still read, and deleted.
        if (!record && GetLastError() == ERROR_ACCESS_DENIED)
            record = Hold(openExistingFile(path, GENERIC_READ | DELETE, FILE_SHARE_DELETE));
        if (record || GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        Sleep(1);
    }
    if (!record) {
        // Only a record gone or held, or a link, is passed over; anything else is said.
        const DWORD failed = GetLastError() == ERROR_CANT_RESOLVE_FILENAME ? ERROR_FILE_NOT_FOUND : GetLastError();
        setErrno(failed);
        if (failed != ERROR_FILE_NOT_FOUND && failed != ERROR_SHARING_VIOLATION && (errno == ENOENT || errno == EBUSY))
            errno = EIO;
    }
    return record;
}

std::optional<QByteArray> readHeld(const Hold &file)
{
    LARGE_INTEGER size;
    if (GetFileSizeEx(file.get(), &size) && size.QuadPart > largestRecord) {
        errno = EFBIG;
        return std::nullopt;
    }
    QByteArray contents;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, DWORD(sizeof buffer), &got, nullptr) && got > 0)
        contents.append(buffer, qsizetype(got));
    return contents;
}

bool rewriteHeld(const Hold &file, const QByteArray &lines)
{
    LARGE_INTEGER start = {};
    DWORD written = 0;
    if (SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) && SetEndOfFile(file.get())
        && WriteFile(file.get(), lines.constData(), DWORD(lines.size()), &written, nullptr)
        && written == DWORD(lines.size()))
        return true;
    setErrno(GetLastError());
    return false;
}

bool deleteHeld(Hold &file, const QByteArray &)
{
    const bool deleted = markDeleted(file.get());
    const int error = errno;
    file = Hold();
    errno = error;
    return deleted;
}
