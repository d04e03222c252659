#pragma once

#include <QByteArray>

#include <string>

#include <windows.h>

// What the Windows files of common/ and of the programs share (files_win.cpp).
// Nothing here fails.

// Which inherited handle holds the slot, handed down from the launcher to its
// runner and the runner's job: a handle keeps its value in the processes that
// inherit it.
inline constexpr wchar_t slotVariable[] = L"TASKFAN_SLOT";
// The batch that a runner starts for its job: its job id, set by the launcher.
inline constexpr wchar_t batchVariable[] = L"TASKFAN_BATCH";
// The job object that a runner holds its job in, named for the runner's batch.
std::wstring jobObjectName(const QByteArray &batch);

std::wstring widePath(const QByteArray &path);

// Sets errno to the number that the shared code knows for the system's error.
void setErrno(DWORD error);

// Opens an existing regular file, never a link or another reparse point: those
// fail with ERROR_CANT_RESOLVE_FILENAME (errno ELOOP). A directory cannot be
// opened as a file at all.
HANDLE openExistingFile(const QByteArray &path, DWORD access, DWORD share);

// An environment variable of ours, short and ASCII; empty where unset.
QByteArray variable(const wchar_t *name);
