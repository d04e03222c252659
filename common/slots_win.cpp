#include "slots.h"

#include "frame.h"
#include "stream.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <string>
#include <vector>

#include <windows.h>
#include <tlhelp32.h>

// How a launcher tells its runner, and the runner its job, which inherited handle
// holds the slot: a handle keeps its value in the processes that inherit it.
static constexpr wchar_t slotVariable[] = L"TASKFAN_SLOT";
// The batch that a runner starts for its job: the job id, set by the launcher.
static constexpr wchar_t batchVariable[] = L"TASKFAN_BATCH";
// The file whose lock guards counting and claiming; it never counts as a slot.
static constexpr char lockFileName[] = "taskfan.lock";
// A wait where no change can be watched: a full listing this often.
constexpr DWORD pollIntervalMs = 8;
// The directory's lock is held only while slots are counted and one is claimed;
// a wait longer than this means its holder is stopped or stuck.
constexpr ULONGLONG lockWaitBeforeNoticeMs = 1000;
// Nothing announces a slot given up by the last process of a dead job; a count
// this often finds it.
constexpr DWORD recountIntervalMs = 1000;
// A record is held by its runner for a moment after it appears: how long a
// waiter waits for it.
constexpr ULONGLONG recordWaitMs = 2000;

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

// The error number that the shared code knows for the system's error.
static int errnoOf(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS:
        return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        // Held by a process of a job: not something that passes with a retry.
        return EBUSY;
    default:
        return EIO;
    }
}

static QByteArray variable(const wchar_t *name)
{
    wchar_t value[64];
    const DWORD length = GetEnvironmentVariableW(name, value, DWORD(std::size(value)));
    if (length == 0 || length >= std::size(value))
        return QByteArray();
    return QString::fromWCharArray(value, int(length)).toUtf8();
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

QByteArray currentBatch()
{
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
    const bool lives = process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    if (process)
        CloseHandle(process);
    return lives && processBatch(pid) == batch;
}

bool batchCanBeJoined(const QByteArray &batch)
{
    // A runner's batch is its job id: its job can place jobs while the runner
    // lives, which holds the job object named for the batch (process_win.cpp);
    // the runner's end ends every process of the job.
    if (batch.startsWith('{')) {
        const std::wstring name = L"Local\\taskfan-batch-" + QString::fromUtf8(batch).toStdWString();
        const HANDLE job = OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, name.c_str());
        if (job)
            CloseHandle(job);
        return job != nullptr;
    }
    return batch.startsWith('p') && processLives(batch);
}

bool sameBatch(const QByteArray &recorded, const QByteArray &current)
{
    return recorded == current;
}

bool batchHasProcesses(const QByteArray &)
{
    // Every process of a runner's batch holds its slot's file: what that says is enough.
    return false;
}

QByteArray enclosingJobId(const QByteArray &)
{
    const QByteArray batch = variable(batchVariable);
    return batch.startsWith('{') ? batch : QByteArray();
}

// The slot this process holds, handed down from the launcher; null where none is.
static HANDLE heldSlot()
{
    bool ok = false;
    const HANDLE slot = asHandle(variable(slotVariable).toInt(&ok));
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

// The slot is the runner's no more: its processes keep it until they end.
static void letGoOfSlot(HANDLE slot)
{
    CloseHandle(slot);
    SetEnvironmentVariableW(slotVariable, nullptr);
}

// Opened for reading beside the runner and the job that hold the file.
static HANDLE openShared(const QByteArray &path, DWORD access)
{
    return CreateFileW(widePath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

static QByteArray readStart(HANDLE file)
{
    QByteArray contents(4096, '\0');
    DWORD got = 0;
    if (!ReadFile(file, contents.data(), DWORD(contents.size()), &got, nullptr))
        got = 0;
    contents.truncate(qsizetype(got));
    return contents;
}

std::optional<QByteArray> readFileStart(const QByteArray &path)
{
    const HANDLE file = openShared(path, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    const QByteArray contents = readStart(file);
    CloseHandle(file);
    return contents;
}

int appendToFile(const QByteArray &path, const QByteArray &data, qsizetype)
{
    // No room is set aside here: a full disk cuts the report short.
    const HANDLE file = openShared(path, FILE_APPEND_DATA);
    if (file == INVALID_HANDLE_VALUE)
        return errnoOf(GetLastError());
    DWORD written = 0;
    const bool ok = WriteFile(file, data.constData(), DWORD(data.size()), &written, nullptr)
        && written == DWORD(data.size());
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    return ok ? 0 : errnoOf(error == ERROR_SUCCESS ? ERROR_DISK_FULL : error);
}

int moveFile(const QByteArray &from, const QByteArray &to)
{
    // The slot's own file is renamed through the runner's handle: nobody else may.
    if (const HANDLE slot = heldSlotAt(from)) {
        const std::wstring target = widePath(to);
        std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
        auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
        rename->ReplaceIfExists = TRUE;
        rename->FileNameLength = DWORD(target.size() * sizeof(wchar_t));
        std::copy(target.begin(), target.end(), rename->FileName);
        const bool moved = SetFileInformationByHandle(slot, FileRenameInfo, rename, DWORD(buffer.size()));
        const DWORD error = GetLastError();
        if (!moved)
            return errnoOf(error);
        letGoOfSlot(slot);
        return 0;
    }
    return MoveFileExW(widePath(from).c_str(), widePath(to).c_str(), MOVEFILE_REPLACE_EXISTING)
        ? 0 : errnoOf(GetLastError());
}

int deleteFile(const QByteArray &path)
{
    // The slot's own file cannot be deleted by name while the job holds it: it is
    // deleted through the handle, and its name goes once the last process of the
    // job has let go of it, so the slot lives exactly as long as the job.
    if (const HANDLE slot = heldSlotAt(path)) {
        FILE_DISPOSITION_INFO deleted = {TRUE};
        const bool marked = SetFileInformationByHandle(slot, FileDispositionInfo, &deleted, sizeof deleted);
        const DWORD error = GetLastError();
        letGoOfSlot(slot);
        return marked ? 0 : errnoOf(error);
    }
    return DeleteFileW(widePath(path).c_str()) ? 0 : errnoOf(GetLastError());
}

int holdRecord(const QByteArray &path, QByteArray *contents, QByteArray *error)
{
    // Held alone, so that no other waiter reports it, and open for deleting it
    // once reported; it may be deleted by name meanwhile (one of a batch nobody
    // can join). Its runner holds it a moment longer after the rename that makes
    // it a record: that is waited out.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (const ULONGLONG since = GetTickCount64(); GetTickCount64() - since < recordWaitMs;) {
        file = CreateFileW(widePath(path).c_str(), GENERIC_READ | DELETE, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        Sleep(1);
    }
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD failed = GetLastError();
        if (failed != ERROR_FILE_NOT_FOUND && failed != ERROR_SHARING_VIOLATION)
            *error = systemReason(failed);
        return -1;
    }
    *contents = readStart(file);
    return int(qintptr(file));
}

void releaseRecord(int hold)
{
    if (hold >= 0)
        CloseHandle(asHandle(hold));
}

bool reportFailure(const FailureRecord &record)
{
    const bool out = writeToStandardOutput(record.report + lineEnd);
    if (out && record.hold >= 0) {
        // A record left in place is reported again by the next waiter: said so.
        FILE_DISPOSITION_INFO deleted = {TRUE};
        if (!SetFileInformationByHandle(asHandle(record.hold), FileDispositionInfo, &deleted, sizeof deleted))
            printLine("Error Cannot Delete : " + record.path + systemReason(GetLastError()));
    }
    releaseRecord(record.hold);
    return out;
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
    // Timed, not counted: a Sleep(1) may last a whole timer tick, 15 ms.
    const ULONGLONG since = GetTickCount64();
    while (!locked && GetLastError() == ERROR_LOCK_VIOLATION) {
        if (GetTickCount64() - since >= lockWaitBeforeNoticeMs) {
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
    // process of its job: while any of them lives, nobody can delete or rename it.
    // Others may read it.
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    const HANDLE file = CreateFileW(widePath(pidFile).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        printLine("Error Cannot Open : " + pidFile + systemReason(GetLastError()));
        return -1;
    }
    DWORD written = 0;
    if (!WriteFile(file, contents.constData(), DWORD(contents.size()), &written, nullptr)
        || written != DWORD(contents.size())) {
        printLine("Error Cannot Open : " + pidFile + systemReason(GetLastError()));
        FILE_DISPOSITION_INFO deleted = {TRUE};
        SetFileInformationByHandle(file, FileDispositionInfo, &deleted, sizeof deleted);
        CloseHandle(file);
        return -1;
    }
    const std::wstring value = QString::number(qintptr(file)).toStdWString();
    SetEnvironmentVariableW(slotVariable, value.c_str());
    // The runner's batch: the job id, named in the pid file's own name.
    const QByteArray name = pidFile.mid(pidFile.lastIndexOf('/') + 1).chopped(4);
    SetEnvironmentVariableW(batchVariable, QString::fromUtf8(name).toStdWString().c_str());
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
    return MoveFileExW(widePath(pidFile).c_str(), widePath(record).c_str(), MOVEFILE_REPLACE_EXISTING);
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
