#include "slotfile.h"

#include "frame.h"
#include "names.h"
#include "win.h"

#include <vector>

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

Hold claimSlotFile(const QByteArray &programDir, const QByteArray &jobId, const QByteArray &contents, bool lent)
{
    // Opened without sharing delete access and inherited by the runner and every
    // process of its job: while any of them lives, nobody can delete or rename it.
    // Others may read it.
    const QByteArray pidFile = lent ? lentFilePath(programDir, jobId) : pidFilePath(programDir, jobId);
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    Hold slot(CreateFileW(widePath(pidFile).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
    if (!slot) {
        const DWORD error = GetLastError();
        printLine("Error Cannot Open : " + pidFile + systemReason(error));
        setErrno(error);
        return Hold();
    }
    DWORD written = 0;
    if (!WriteFile(slot.get(), contents.constData(), DWORD(contents.size()), &written, nullptr)
        || written != DWORD(contents.size())) {
        const DWORD error = GetLastError();
        printLine("Error Cannot Open : " + pidFile + systemReason(error));
        FILE_DISPOSITION_INFO deleted = {TRUE};
        SetFileInformationByHandle(slot.get(), FileDispositionInfo, &deleted, sizeof deleted);
        setErrno(error);
        return Hold();
    }
    SetEnvironmentVariableW(slotVariable, QString::number(qintptr(slot.get())).toStdWString().c_str());
    SetEnvironmentVariableW(batchVariable, QString::fromUtf8(jobId).toStdWString().c_str());
    return slot;
}

bool deletePidFile(const QByteArray &pidFile)
{
    // The slot's own file cannot be deleted by name while the job holds it: it is
    // deleted through the handle, and its name goes once the last process of the
    // job has let go of it.
    const HANDLE slot = heldSlotAt(pidFile);
    if (!slot)
        return deleteFile(pidFile);
    FILE_DISPOSITION_INFO deleted = {TRUE};
    const bool marked = SetFileInformationByHandle(slot, FileDispositionInfo, &deleted, sizeof deleted);
    const DWORD error = GetLastError();
    letGoOfSlot(slot);
    if (!marked)
        setErrno(error);
    return marked;
}

bool renamePidFile(const QByteArray &pidFile, const QByteArray &record)
{
    // Nobody else may rename the slot's own file: only its holder, through its handle.
    const HANDLE slot = heldSlotAt(pidFile);
    if (!slot)
        return moveFile(pidFile, record);
    const std::wstring target = widePath(record);
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

QByteArrayList heldPidFiles()
{
    const HANDLE slot = heldSlot();
    const QByteArray name = slot ? fileNameOf(slot) : QByteArray();
    return mayBeSlotFile(name) ? QByteArrayList{name} : QByteArrayList();
}

bool reclaimIfAbandoned(const QByteArray &pidFile, const QByteArray &record, QByteArray *contents)
{
    // Only a regular file is a job's pid file; anything else holds its slot, as
    // one placed by hand does.
    const DWORD attributes = GetFileAttributesW(widePath(pidFile).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES
        || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    if (contents)
        *contents = readFileStart(pidFile).value_or(QByteArray());
    // Only a file that no process of its job holds any more can be renamed.
    return moveFile(pidFile, record);
}
