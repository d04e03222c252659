#include "slots.h"

#include "frame.h"
#include "stream.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <string>

#include <windows.h>

// How a launcher tells its runner, and the runner its job, which inherited handle
// holds the slot: a handle keeps its value in the processes that inherit it.
static constexpr wchar_t slotVariable[] = L"TASKFAN_SLOT";
// The file whose lock guards counting and claiming; it never counts as a slot.
static constexpr char lockFileName[] = "taskfan.lock";
// A wait where no change can be watched: a full listing this often.
constexpr DWORD pollIntervalMs = 8;
// The directory's lock is held only while slots are counted and one is claimed;
// a wait longer than this means its holder is stopped or stuck.
constexpr int lockWaitBeforeNoticeMs = 1000;
// Nothing announces a slot given up by the last process of a dead job; a count
// this often finds it.
constexpr DWORD recountIntervalMs = 1000;

static std::wstring widePath(const QByteArray &path)
{
    return QDir::toNativeSeparators(QString::fromUtf8(path)).toStdWString();
}

static HANDLE asHandle(int value)
{
    return reinterpret_cast<HANDLE>(qintptr(value));
}

static QByteArray systemReason(DWORD error)
{
    wchar_t *text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QByteArray reason = text ? QString::fromWCharArray(text).trimmed().toUtf8() : QByteArray::number(uint(error));
    LocalFree(text);
    return " : " + reason;
}

std::optional<QByteArrayList> listEntries(const QByteArray &programDir, bool (*wanted)(const QByteArray &name))
{
    const QDir dir(QString::fromUtf8(programDir));
    if (!dir.exists()) {
        printLine("Error Cannot List : " + programDir);
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

bool writeFileWhole(const QByteArray &path, const QByteArray &contents)
{
    QSaveFile file(QString::fromUtf8(path));
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() && file.commit();
}

// Batches are not told apart here yet: a waiter waits for every job and takes
// every record, and opens no pid file that a job holds.
QByteArray currentBatch()
{
    return QByteArray();
}

bool batchCanBeJoined(const QByteArray &)
{
    return true;
}

bool batchHasProcesses(const QByteArray &)
{
    return false;
}

QByteArray enclosingJobId(const QByteArray &)
{
    return QByteArray();
}

// A pid file that its job holds cannot be opened here: the runner then leaves a
// record of its own.
std::optional<QByteArray> readFileStart(const QByteArray &path)
{
    QFile file(QString::fromUtf8(path));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(4096);
}

static int errorOf(const QByteArray &path)
{
    return QFile::exists(QString::fromUtf8(path)) ? EIO : ENOENT;
}

int appendToFile(const QByteArray &path, const QByteArray &data, qsizetype)
{
    QFile file(QString::fromUtf8(path));
    if (!file.exists() || !file.open(QIODevice::Append))
        return errorOf(path);
    const bool written = file.write(data) == data.size();
    file.close();
    return written ? 0 : EIO;
}

int moveFile(const QByteArray &from, const QByteArray &to)
{
    return MoveFileExW(widePath(from).c_str(), widePath(to).c_str(), 0) ? 0 : errorOf(from);
}

int holdRecord(const QByteArray &path, QByteArray *contents, QByteArray *error)
{
    QFile file(QString::fromUtf8(path));
    if (!file.open(QIODevice::ReadOnly)) {
        if (file.exists())
            *error = " : " + file.errorString().toUtf8();
        return -1;
    }
    *contents = file.readAll();
    return 0;
}

void releaseRecord(int)
{
}

bool reportFailure(const FailureRecord &record)
{
    const bool out = writeToStandardOutput(record.report + lineEnd);
    if (out && record.hold >= 0)
        QFile::remove(QString::fromUtf8(record.path));
    return out;
}

// The slot this process holds, handed down from the launcher; null where none is.
static HANDLE heldSlot()
{
    wchar_t value[32];
    const DWORD length = GetEnvironmentVariableW(slotVariable, value, DWORD(std::size(value)));
    if (length == 0 || length >= std::size(value))
        return nullptr;
    bool ok = false;
    const HANDLE slot = asHandle(QString::fromWCharArray(value, int(length)).toInt(&ok));
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

// Whether the path names the slot this process holds.
static bool isHeldSlot(HANDLE slot, const QByteArray &path)
{
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    return slot && fileNameOf(slot).compare(name, Qt::CaseInsensitive) == 0;
}

int deleteFile(const QByteArray &path)
{
    // The slot's own file cannot be deleted by name while the job holds it: it is
    // deleted through the handle, and its name goes once the last process of the
    // job has let go of it, so the slot lives exactly as long as the job.
    const HANDLE slot = heldSlot();
    if (isHeldSlot(slot, path)) {
        FILE_DISPOSITION_INFO deleted = {TRUE};
        const bool marked = SetFileInformationByHandle(slot, FileDispositionInfo, &deleted, sizeof deleted);
        CloseHandle(slot);
        SetEnvironmentVariableW(slotVariable, nullptr);
        return marked ? 0 : EIO;
    }
    return DeleteFileW(widePath(path).c_str()) ? 0 : errorOf(path);
}

int lockProgramDir(const QByteArray &programDir)
{
    // The system lets go of the lock when its holder dies, so a killed launcher
    // blocks nobody.
    const HANDLE file = CreateFileW(widePath(programDir + '/' + lockFileName).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        printLine("Error Cannot Lock : " + programDir + systemReason(GetLastError()));
        return -1;
    }
    OVERLAPPED whole = {};
    bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole);
    for (int waited = 0; !locked && GetLastError() == ERROR_LOCK_VIOLATION; ++waited) {
        if (waited >= lockWaitBeforeNoticeMs) {
            printLine("Waiting For Lock : " + programDir);
            locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole);
            break;
        }
        Sleep(1);
        locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole);
    }
    if (!locked) {
        printLine("Error Cannot Lock : " + programDir + systemReason(GetLastError()));
        CloseHandle(file);
        return -1;
    }
    return int(qintptr(file));
}

void unlockProgramDir(int lock)
{
    if (lock >= 0)
        CloseHandle(asHandle(lock));
}

int claimSlot(const QByteArray &pidFile, const QByteArray &contents)
{
    // Opened without sharing delete access and inherited by the runner and every
    // process of its job: while any of them lives, nobody can delete it. Others
    // may read it.
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    const HANDLE file = CreateFileW(widePath(pidFile).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        printLine("Error Cannot Open : " + pidFile + systemReason(GetLastError()));
        return -1;
    }
    DWORD written = 0;
    if (!WriteFile(file, contents.constData(), DWORD(contents.size()), &written, nullptr)
        || written != DWORD(contents.size())) {
        printLine("Error Cannot Write : " + pidFile + systemReason(GetLastError()));
        CloseHandle(file);
        DeleteFileW(widePath(pidFile).c_str());
        return -1;
    }
    const std::wstring value = QString::number(qintptr(file)).toStdWString();
    SetEnvironmentVariableW(slotVariable, value.c_str());
    return int(qintptr(file));
}

QByteArrayList heldPidFiles(const QByteArray &)
{
    const HANDLE slot = heldSlot();
    const QByteArray name = slot ? fileNameOf(slot) : QByteArray();
    return countsAsSlot(name) ? QByteArrayList{name} : QByteArrayList();
}

bool reclaimIfAbandoned(const QByteArray &pidFile, const QByteArray &record, QByteArray *contents)
{
    if (contents)
        *contents = readFileStart(pidFile).value_or(QByteArray());
    // Only a file that no process of its job holds any more can be renamed.
    return MoveFileExW(widePath(pidFile).c_str(), widePath(record).c_str(), 0);
}

// Waiting launchers do not form a line here: each counts once a second and when
// the directory changes, which the lock file keeps cheap enough.
int waitInLine(const QByteArray &)
{
    return -1;
}

void leaveLine(int)
{
}

int watchProgramDir(const QByteArray &programDir)
{
    // Slots are freed by deletions and renames, which change the names.
    const HANDLE watch = FindFirstChangeNotificationW(widePath(programDir).c_str(), FALSE,
                                                      FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME);
    return watch == INVALID_HANDLE_VALUE ? -1 : int(qintptr(watch));
}

void waitForChange(int watch)
{
    if (watch < 0) {
        Sleep(pollIntervalMs);
        return;
    }
    if (WaitForSingleObject(asHandle(watch), recountIntervalMs) == WAIT_OBJECT_0)
        FindNextChangeNotification(asHandle(watch));
}
