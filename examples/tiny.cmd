@echo off
rem tiny.cmd PROGRAM_DIR [COUNT]: makes COUNT tiny files (300 by default) in a new
rem folder of the current one, copies each one with one job per group of 25 files,
rem waits for the jobs and checks every copy. Each job costs three process starts
rem (taskfan, taskexec, cmd.exe): for jobs of a few milliseconds, a group a job
rem rather than a file a job.
setlocal EnableDelayedExpansion
if "%~1" == "" (echo usage: tiny.cmd PROGRAM_DIR [COUNT]& exit /b 2)
set "bin=%~f1"
set "count=%~2"
if not defined count set count=300
set "work=%CD%\tiny-%RANDOM%%RANDOM%"
mkdir "%work%"
if not exist "%work%\" exit /b 1
pushd "%work%"
for /l %%i in (1,1,%count%) do echo line %%i of a tiny file> "small %%i.txt"

rem The names go into a group; each full group becomes one job. Delayed
rem expansion (!group!) sees the group as it grows inside the loop; a name
rem holding "!" would lose it there.
set "group="
set /a size=0
for %%f in (*.txt) do (
    set group=!group! "%%f"
    set /a size+=1
    if !size! geq 25 call :place
)
call :place
set failed=0
"%bin%\taskjoin.exe" > nul
if errorlevel 1 set failed=1

set /a made=0
for %%f in (*.txt) do (
    fc /b "%%f" "%%f.bak" > nul 2>&1
    if not errorlevel 1 set /a made+=1
)
popd
rmdir /s /q "%work%"
if %failed% == 1 (echo a job failed& exit /b 1)
if %made% neq %count% (echo %made% of %count% files copied& exit /b 1)
echo %count% tiny files copied in groups of 25 and checked.
exit /b 0

rem One job for the group, outside the loop's parentheses: cmd.exe runs the
rem job's own loop, once per file; ^> hands the redirection on to the job.
:place
if not defined group exit /b 0
"%bin%\taskfan.exe" for %%g in (%group%) do @copy /y %%g %%g.bak ^> nul > nul
set "group="
set /a size=0
exit /b 0
