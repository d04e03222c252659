#include "cancel.h"

#include "frame.h"
#include "names.h"
#include "win.h"

#include <QFileInfo>

#include <atomic>
#include <iterator>
#include <vector>

// The status a job ended here gets, and the program too: that of a job ended
// by Ctrl-C on Linux, so that its report reads the same on both.
constexpr UINT stoppedStatus = 130;
// Room for the ids of a job's processes: more than a job of cmd.exe has.
constexpr DWORD mostProcesses = 1024;

// The console's handler runs in a thread of its own.
static std::atomic<int> requests{0};
static int taken = 0;

static BOOL WINAPI noteRequest(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    ++requests;
    // A closing console ends the program as soon as this returns: it waits
    // here until the main thread has stopped the batch and ended the program.
    if (event == CTRL_CLOSE_EVENT)
        Sleep(INFINITE);
    return TRUE;
}

void catchStopRequests()
{
    // A program whose Ctrl-C is turned off (started in a process group of its
    // own, as runners and their jobs are) is never asked to stop by it.
    SetConsoleCtrlHandler(noteRequest, TRUE);
}

bool stopRequested()
{
    return requests > taken;
}

bool takeStopRequest()
{
    const bool came = stopRequested();
    taken = requests;
    return came;
}

void releaseStopRequests()
{
    SetConsoleCtrlHandler(noteRequest, FALSE);
}

void endAsStopped()
{
    endProgram(int(stoppedStatus));
}

// Whether the process runs the runner, as its image's name says.
static bool isRunner(HANDLE process, const QByteArray &programDir)
{
    wchar_t image[32768];
    DWORD length = DWORD(std::size(image));
    return QueryFullProcessImageNameW(process, 0, image, &length)
        && QFileInfo(QString::fromWCharArray(image, int(length))).fileName().compare(
               QString::fromUtf8(runnerPath(programDir)), Qt::CaseInsensitive) == 0;
}

void stopJob(const QByteArray &programDir, const QByteArray &jobId, const QByteArray &, const QByteArray &, bool)
{
    // Windows has no gentler way: every process of the job object that the
    // runner holds its job in, named for the batch it starts (its job id), is
    // ended at once, but the runner itself, which then reports the job as failed.
    // Runners of jobs that the job placed run outside it.
    const HANDLE job = OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, jobObjectName(jobId).c_str());
    if (!job)
        return;
    std::vector<char> room(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + mostProcesses * sizeof(ULONG_PTR));
    auto *list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(room.data());
    const bool listed = QueryInformationJobObject(job, JobObjectBasicProcessIdList, list, DWORD(room.size()), nullptr);
    CloseHandle(job);
    for (DWORD i = 0; listed && i < list->NumberOfProcessIdsInList; ++i) {
        const HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                           DWORD(list->ProcessIdList[i]));
        if (!process)
            continue;
        if (!isRunner(process, programDir))
            TerminateProcess(process, stoppedStatus);
        CloseHandle(process);
    }
}
