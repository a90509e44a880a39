#include "base/ModulePath.h"

#include "base/Result.h"

HRESULT ReadModulePath(HINSTANCE instance, wchar_t* path, DWORD& length)
{
    length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length == 0)
    {
        const HRESULT hr = HResultFromLastError();
        path[0] = L'\0';
        return hr;
    }
    // A path that fills the buffer was cut (and not always NUL-ended).
    if (length >= MAX_PATH)
    {
        length = MAX_PATH - 1;
        path[length] = L'\0';
        return HResultFromError(ERROR_INSUFFICIENT_BUFFER);
    }
    return S_OK;
}

std::wstring DirectoryOfPath(const std::wstring& path)
{
    const size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos)
        return path;
    const bool bDriveRoot = slash == 2 && path[1] == L':';
    return path.substr(0, bDriveRoot ? slash + 1 : slash);
}
