// Lists the running processes whose image name equals the argument (case
// folded), one "pid name" line each, for the demo; exit code 1 when none runs.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        fwprintf(stderr, L"usage: ZeltProcessList IMAGE-NAME\n");
        return 2;
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 2;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    int found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    {
        if (lstrcmpiW(entry.szExeFile, argv[1]) == 0)
        {
            wprintf(L"%lu %ls\n", entry.th32ProcessID, entry.szExeFile);
            ++found;
        }
    }
    CloseHandle(snapshot);
    return found > 0 ? 0 : 1;
}
