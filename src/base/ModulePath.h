// The file path of a loaded module, read in one place with one rule for a
// path that does not fit.
#pragma once

#include <windows.h>

#include <string>

// Reads the file path of `instance` (null: the program's own image) into
// `path`, which holds MAX_PATH units, and its length without the NUL. S_OK;
// the HRESULT of the last error when it cannot be read (`path` empty); the
// HRESULT of ERROR_INSUFFICIENT_BUFFER when the path does not fit, with
// `path` holding its first MAX_PATH - 1 units for a caller that can use them.
HRESULT ReadModulePath(HINSTANCE instance, wchar_t* path, DWORD& length);

// The directory part of a file path: the text before its last backslash,
// which is kept when the directory is a drive root ("C:\" and not "C:", the
// current directory of drive C); the whole text when it holds no backslash.
std::wstring DirectoryOfPath(const std::wstring& path);
