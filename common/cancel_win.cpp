#include "cancel.h"

#include "frame.h"
#include "stop.h"
#include "win.h"

#include <QFileInfo>

#include <iterator>
#include <vector>

// Room for the ids of a job's processes: more than a job of cmd.exe has.
constexpr DWORD mostProcesses = 1024;

void stopLaunchers(const QByteArray &)
{
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

void stopJob(const QByteArray &programDir, const JobFile &job, bool)
{
    // Windows has no gentler way: every process of the job object that the
    // runner holds its job in, named for the batch it starts (its job id), is
    // ended at once, but the runner itself, which then reports the job as failed.
    // Runners of jobs that the job placed run outside it.
    const HANDLE group = OpenJobObjectW(JOB_OBJECT_QUERY, FALSE, jobObjectName(job.jobId).c_str());
    if (!group)
        return;
    std::vector<char> room(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + mostProcesses * sizeof(ULONG_PTR));
    auto *list = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(room.data());
    const bool listed = QueryInformationJobObject(group, JobObjectBasicProcessIdList, list, DWORD(room.size()), nullptr);
    CloseHandle(group);
    for (DWORD i = 0; listed && i < list->NumberOfProcessIdsInList; ++i) {
        const HANDLE process = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                           DWORD(list->ProcessIdList[i]));
        if (!process)
            continue;
        if (!isRunner(process, programDir))
            TerminateProcess(process, UINT(stoppedStatus));
        CloseHandle(process);
    }
}
