#pragma once

#include <QByteArray>

#include <string>

#include <windows.h>

// What the Windows files of common/ share (files_win.cpp). Nothing here fails.

std::wstring widePath(const QByteArray &path);

// The system's text for an error, as the end of an error line: " : <reason>".
QByteArray systemReason(DWORD error);

// Sets errno to the number that the shared code knows for the system's error.
void setErrno(DWORD error);

// Opens an existing regular file, never a link or another reparse point: those
// fail with ERROR_CANT_RESOLVE_FILENAME (errno ELOOP). A directory cannot be
// opened as a file at all.
HANDLE openExistingFile(const QByteArray &path, DWORD access, DWORD share);

// An environment variable of ours, short and ASCII; empty where unset.
QByteArray variable(const wchar_t *name);
