#include "files.h"

#include "win.h"

#include <QDir>

#include <cerrno>
#include <limits>

Hold::Hold(Handle handle) : handle(handle == INVALID_HANDLE_VALUE ? none : handle)
{
}

Hold::~Hold()
{
    if (handle != none)
        CloseHandle(handle);
}

std::wstring widePath(const QByteArray &path)
{
    return QDir::toNativeSeparators(QString::fromUtf8(path)).toStdWString();
}

std::wstring jobObjectName(const QByteArray &batch)
{
    return L"Local\\taskfan-batch-" + QString::fromUtf8(batch).toStdWString();
}

void setErrno(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS:
        errno = 0;
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        errno = EACCES;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    case ERROR_CANT_RESOLVE_FILENAME:
        errno = ELOOP;
        break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        // Held by a process of a job: not something that passes with a retry.
        errno = EBUSY;
        break;
    default:
        errno = EIO;
    }
}

HANDLE openExistingFile(const QByteArray &path, DWORD access, DWORD share)
{
    const HANDLE file = CreateFileW(widePath(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION information;
    if (file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &information)
        && (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(file);
        SetLastError(ERROR_CANT_RESOLVE_FILENAME);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

// Opened beside the runner and the job that hold the file.
static HANDLE openShared(const QByteArray &path, DWORD access)
{
    return openExistingFile(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

// Up to the first 4 KiB.
static QByteArray readStart(HANDLE file)
{
    QByteArray contents(4096, Qt::Uninitialized);
    DWORD got = 0;
    if (!ReadFile(file, contents.data(), DWORD(contents.size()), &got, nullptr))
        got = 0;
    contents.truncate(qsizetype(got));
    return contents;
}

QByteArray variable(const wchar_t *name)
{
    wchar_t value[64];
    const DWORD length = GetEnvironmentVariableW(name, value, DWORD(std::size(value)));
    if (length == 0 || length >= std::size(value))
        return QByteArray();
    return QString::fromWCharArray(value, int(length)).toUtf8();
}

std::optional<QByteArrayList> listEntries(const QByteArray &dirPath, bool (*wanted)(const QByteArray &name))
{
    const QDir dir(QString::fromUtf8(dirPath));
    if (!dir.exists()) {
        errno = ENOENT;
        return std::nullopt;
    }
    QByteArrayList names;
    for (const QString &entry : dir.entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray name = entry.toUtf8();
        if (wanted(name))
            names.append(name);
    }
    return names;
}

std::optional<QByteArray> readFileStart(const QByteArray &path)
{
    const Hold file(openShared(path, GENERIC_READ));
    if (!file) {
        setErrno(GetLastError());
        return std::nullopt;
    }
    return readStart(file.get());
}

bool writeFileAt(const QByteArray &path, qint64 offset, const QByteArray &data)
{
    const Hold file(openShared(path, offset < 0 ? FILE_APPEND_DATA : GENERIC_WRITE));
    if (!file) {
        setErrno(GetLastError());
        return false;
    }
    OVERLAPPED at = {};
    at.Offset = DWORD(quint64(offset));
    at.OffsetHigh = DWORD(quint64(offset) >> 32);
    DWORD written = 0;
    const bool ok = WriteFile(file.get(), data.constData(), DWORD(data.size()), &written, offset < 0 ? nullptr : &at)
        && written == DWORD(data.size());
    if (!ok) {
        const DWORD error = GetLastError();
        setErrno(error == ERROR_SUCCESS ? ERROR_DISK_FULL : error);
    }
    return ok;
}

qint64 roomToAppend(const QByteArray &)
{
    return std::numeric_limits<qint64>::max();
}

bool fileExists(const QByteArray &path)
{
    return GetFileAttributesW(widePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isAnotherUsers(const QByteArray &)
{
    return false;
}

bool isDiskFull(int error)
{
    // Windows' own codes for a full disk are turned into ENOSPC (setErrno).
    return error == ENOSPC;
}

bool applyUmask(const QByteArray &)
{
    return true;
}

bool createFile(const QByteArray &path, const QByteArray &data)
{
    const Hold file(CreateFileW(widePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file && WriteFile(file.get(), data.constData(), DWORD(data.size()), &written, nullptr)
        && written == DWORD(data.size()))
        return true;
    setErrno(GetLastError());
    return false;
}

bool moveFile(const QByteArray &from, const QByteArray &to)
{
    if (MoveFileExW(widePath(from).c_str(), widePath(to).c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    setErrno(GetLastError());
    return false;
}

bool deleteFile(const QByteArray &path)
{
    if (DeleteFileW(widePath(path).c_str()))
        return true;
    setErrno(GetLastError());
    return false;
}
