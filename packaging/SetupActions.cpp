// The installer package's custom actions in a DLL. PrepareInstances
// (immediate) reads the instance properties and every instance that runs
// from the install folder, plans what the installation does to each, and
// hands each deferred action its steps; RunInstanceSteps carries them out
// (stops and starts of services, the installed host's "/Service",
// "/RegServer /Service" and "/unregserver", the files set aside), as the
// action itself and as its rollback. The package's
// own formatting cannot build the host's command lines: it does not escape
// quotes or backslashes.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include "HostRegistration.h"
#include "InstanceDiscovery.h"
#include "SetupArguments.h"
#include "SetupPlatform.h"
#include "base/Handles.h"
#include "base/Result.h"
#include "base/Text.h"
#include "instance/ServiceManager.h"

namespace {

// Every wait for a service or for the host ends by then: a stop takes about
// 4 s at worst, "/Service" waits at most 30 s for the old service twice.
constexpr DWORD kServiceWaitMs = 60000;
constexpr DWORD kHostWaitMs = 120000;
// A service's state is polled this often: an instance's start waits until
// its stop is seen, and its agent is away all that time.
constexpr DWORD kServicePollMs = 20;

// The deferred actions, each named after the property that carries its data.
const wchar_t* const kDeferredActions[] = {L"StopInstances",   L"RollbackStopInstances",   L"RemoveInstances",
                                           L"RollbackRemoveInstances", L"InstallInstances",
                                           L"RollbackInstallInstances", L"DiscardPreviousFiles"};

// The package's files (its File table), copied aside before an upgrade
// replaces them.
const wchar_t* const kPackageFiles[] = {L"ZeltAgentSvc.exe", L"ZeltDemoAgent.exe"};

std::wstring ReadProperty(MSIHANDLE install, const wchar_t* name)
{
    DWORD units = 0;
    wchar_t empty[1] = L"";
    if (MsiGetPropertyW(install, name, empty, &units) != ERROR_MORE_DATA)
        return std::wstring();
    std::wstring value(units + 1, L'\0');
    units = static_cast<DWORD>(value.size());
    if (MsiGetPropertyW(install, name, &value[0], &units) != ERROR_SUCCESS)
        return std::wstring();
    value.resize(units);
    return value;
}

// A line in the installation's log; as an error, also what a user interface
// shows. The text goes in as a field, which the log does not format.
void Report(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring& text)
{
    const MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"ZeltAgentSvc: [1]");
    MsiRecordSetStringW(record, 1, text.c_str());
    MsiProcessMessage(install, kind, record);
    MsiCloseHandle(record);
}

std::wstring HexCode(DWORD code)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(code));
    return text;
}

// The words, then the system's text of a Windows error and its code, as the
// host writes its own failures.
std::wstring ErrorText(const std::wstring& words, DWORD error)
{
    return DescribeError(words.c_str(), HResultFromError(error));
}

bool IsPropertySet(MSIHANDLE install, const wchar_t* name)
{
    return !ReadProperty(install, name).empty();
}

// Another product of the package's upgrade code registered beside this one.
bool IsAnotherVersionListed(MSIHANDLE install)
{
    const std::wstring upgradeCode = ReadProperty(install, L"UpgradeCode");
    const std::wstring productCode = ReadProperty(install, L"ProductCode");
    wchar_t related[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, related) == ERROR_SUCCESS; ++i)
    {
        if (CompareStringOrdinal(related, -1, productCode.c_str(), -1, TRUE) != CSTR_EQUAL)
            return true;
    }
    return false;
}

SetupMode ReadMode(MSIHANDLE install, bool bWine)
{
    SetupFacts facts;
    facts.bRemoveAll = CompareStringOrdinal(ReadProperty(install, L"REMOVE").c_str(), -1, L"ALL", -1, TRUE) == CSTR_EQUAL;
    facts.bInstalled = IsPropertySet(install, L"Installed");
    facts.bReinstall = IsPropertySet(install, L"REINSTALL");
    facts.bUpgrading = IsPropertySet(install, L"UPGRADINGPRODUCTCODE");
    facts.bOtherVersionListed = bWine && facts.bRemoveAll && IsAnotherVersionListed(install);
    return ChooseMode(facts, bWine);
}

UINT SetStepProperties(MSIHANDLE install, const std::wstring& host, const SetupPlan& plan)
{
    const SetupSteps* steps[] = {&plan.stop,    &plan.rollbackStop,    &plan.remove, &plan.rollbackRemove,
                                 &plan.install, &plan.rollbackInstall, &plan.commit};
    static_assert(sizeof(steps) / sizeof(steps[0]) == sizeof(kDeferredActions) / sizeof(kDeferredActions[0]),
                  "one list of steps per deferred action");
    UINT result = ERROR_SUCCESS;
    for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]) && result == ERROR_SUCCESS; ++i)
    {
        // An action without steps keeps an empty property, which its
        // condition in the sequence skips.
        const std::wstring data = steps[i]->empty() ? std::wstring() : FormatSteps(host, *steps[i]);
        result = MsiSetPropertyW(install, kDeferredActions[i], data.c_str());
    }
    return result;
}

// Waits until the service leaves the pending states; its last status.
SERVICE_STATUS WaitForSettledService(SC_HANDLE service, DWORD wanted)
{
    SERVICE_STATUS status{};
    for (DWORD waited = 0; QueryServiceStatus(service, &status); waited += kServicePollMs)
    {
        if (status.dwCurrentState == wanted || status.dwCurrentState == SERVICE_STOPPED || waited >= kServiceWaitMs)
            break;
        Sleep(kServicePollMs);
    }
    return status;
}

SC_HANDLE OpenInstanceService(const std::wstring& name, DWORD& error)
{
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    SC_HANDLE service = manager ? OpenServiceW(manager.Get(), name.c_str(),
                                               SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)
                                : nullptr;
    error = service == nullptr ? GetLastError() : ERROR_SUCCESS;
    return service;
}

// A run of stops asks every service of it to stop at once, so that they
// stop side by side; each step then waits for its own (and tells why one
// cannot be stopped).
void RequestStops(SetupSteps::const_iterator step, SetupSteps::const_iterator end)
{
    for (; step != end && step->kind == StepKind::Stop; ++step)
    {
        DWORD error = ERROR_SUCCESS;
        const CServiceHandle service(OpenInstanceService(step->service, error));
        SERVICE_STATUS status{};
        if (service)
            ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    }
}

// A service that is gone counts as stopped.
bool StopInstance(MSIHANDLE install, const std::wstring& name)
{
    DWORD error = ERROR_SUCCESS;
    const CServiceHandle service(OpenInstanceService(name, error));
    if (!service && error != ERROR_SERVICE_DOES_NOT_EXIST)
        Report(install, INSTALLMESSAGE_INFO, ErrorText(L"could not open " + name, error));
    if (!service)
        return error == ERROR_SERVICE_DOES_NOT_EXIST;
    SERVICE_STATUS status{};
    if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &status) &&
        (error = GetLastError()) != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
    {
        Report(install, INSTALLMESSAGE_INFO, ErrorText(L"could not stop " + name, error));
        return false;
    }
    if (WaitForSettledService(service.Get(), SERVICE_STOPPED).dwCurrentState == SERVICE_STOPPED)
        return true;
    Report(install, INSTALLMESSAGE_INFO, name + L" did not stop within " + std::to_wstring(kServiceWaitMs) + L" ms");
    return false;
}

bool StartInstance(MSIHANDLE install, const std::wstring& name)
{
    DWORD error = ERROR_SUCCESS;
    const CServiceHandle service(OpenInstanceService(name, error));
    if (service && (StartServiceW(service.Get(), 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING))
    {
        const SERVICE_STATUS status = WaitForSettledService(service.Get(), SERVICE_RUNNING);
        if (status.dwCurrentState == SERVICE_RUNNING)
            return true;
        Report(install, INSTALLMESSAGE_INFO,
               ErrorText(name + L" did not reach RUNNING (state " + std::to_wstring(status.dwCurrentState) +
                             L", service exit code " + HexCode(status.dwServiceSpecificExitCode) + L")",
                         status.dwWin32ExitCode));
        return false;
    }
    if (service)
        error = GetLastError();
    Report(install, INSTALLMESSAGE_INFO, ErrorText(L"could not start " + name, error));
    return false;
}

// What the host wrote to its standard output and error, into the log: UTF-8,
// as the host writes to a pipe.
std::wstring ReadOutput(HANDLE pipe)
{
    std::string bytes;
    DWORD available = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0)
    {
        char chunk[4096];
        DWORD read = 0;
        if (!ReadFile(pipe, chunk, sizeof(chunk), &read, nullptr) || read == 0)
            break;
        bytes.append(chunk, read);
    }
    const int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(units), L'\0');
    if (units > 0)
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], units);
    return text;
}

// Runs the installed host; true when it ends with 0. Its exit code and what
// it printed go into the log either way when it fails.
bool RunHost(MSIHANDLE install, const std::wstring& host, const SetupStep& step)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 65536))
    {
        const DWORD error = GetLastError();
        Report(install, INSTALLMESSAGE_INFO, ErrorText(L"could not create a pipe for the host's output", error));
        return false;
    }
    const CKernelHandle reader(readEnd);
    CKernelHandle writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::wstring commandLine = L"\"" + host + L"\" " + step.arguments;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(host.c_str(), &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
    {
        const DWORD error = GetLastError();
        Report(install, INSTALLMESSAGE_INFO, ErrorText(L"could not run " + host, error));
        return false;
    }
    const CKernelHandle processHandle(process.hProcess);
    const CKernelHandle threadHandle(process.hThread);
    writer.Reset();
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, kHostWaitMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.hProcess, &exitCode))
        exitCode = STILL_ACTIVE;
    if (exitCode == 0)
        return true;
    const std::wstring verb = step.arguments.substr(0, step.arguments.find(L' '));
    Report(install, INSTALLMESSAGE_INFO,
           L"the host's " + verb + (step.service.empty() ? L"" : L" for " + step.service) +
               (exitCode == STILL_ACTIVE ? L" did not end" : L" ended with " + HexCode(exitCode)) + L": " +
               ReadOutput(readEnd));
    return false;
}

std::wstring FolderOf(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A file another program holds without delete sharing (a scanner, a backup)
// cannot be moved or deleted until it lets go: each is tried this often,
// this far apart (5 s in all).
constexpr int kFileTries = 25;
constexpr DWORD kFileRetryMs = 200;

// Moves the file, trying again while another program holds it; false with
// the last error when it stays.
bool MoveWithRetries(const std::wstring& from, const std::wstring& to, DWORD& error)
{
    for (int i = 0;; ++i)
    {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
            return true;
        error = GetLastError();
        if (i + 1 == kFileTries)
            return false;
        Sleep(kFileRetryMs);
    }
}

// Before the package's files are replaced, they are moved aside (a running
// program may be renamed, not overwritten), so that the instances run on
// until each is restarted in turn on the new ones. A file that cannot be
// moved fails the step, and the installation rolls back: a copy would leave
// the running file in place, for the installer to replace at the next
// restart of the machine while the instances restart on the old program.
bool SetFilesAside(MSIHANDLE install, const std::wstring& folder, const std::wstring& kept)
{
    if (!CreateDirectoryW(kept.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    {
        const DWORD error = GetLastError();
        Report(install, INSTALLMESSAGE_INFO, ErrorText(L"could not create " + kept, error));
        return false;
    }
    for (const wchar_t* name : kPackageFiles)
    {
        const std::wstring from = folder + L"\\" + name;
        DWORD error = ERROR_SUCCESS;
        if (!FileExists(from) || MoveWithRetries(from, kept + L"\\" + name, error))
            continue;
        Report(install, INSTALLMESSAGE_INFO, ErrorText(L"could not set " + from + L" aside", error));
        return false;
    }
    return true;
}

// Puts back a copy of each file set aside that is not in place: the
// installer leaves out a file whose version is already there, and its
// rollback removes what it installed.
bool ReturnFiles(MSIHANDLE install, const std::wstring& kept, const std::wstring& folder)
{
    for (const wchar_t* name : kPackageFiles)
    {
        const std::wstring from = kept + L"\\" + name;
        const std::wstring to = folder + L"\\" + name;
        if (FileExists(to) || !FileExists(from))
            continue;
        Report(install, INSTALLMESSAGE_INFO, L"copying " + from + L" back");
        if (!CopyFileW(from.c_str(), to.c_str(), FALSE))
        {
            const DWORD error = GetLastError();
            Report(install, INSTALLMESSAGE_INFO, ErrorText(L"could not copy " + from, error));
            return false;
        }
    }
    return true;
}

// Marks the file or empty folder for deletion at the next restart, saying
// so in the log.
void DeleteAtRestart(MSIHANDLE install, const std::wstring& path)
{
    if (MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        Report(install, INSTALLMESSAGE_INFO, path + L" is in use: it goes at the next restart");
    else
        Report(install, INSTALLMESSAGE_INFO, ErrorText(L"could not mark " + path + L" for deletion", GetLastError()));
}

// The files set aside go once the installation is done; one still in use
// (a process that is ending) gets a moment, and then goes at the next
// restart.
void DiscardFiles(MSIHANDLE install, const std::wstring& kept)
{
    for (const wchar_t* name : kPackageFiles)
    {
        const std::wstring path = kept + L"\\" + name;
        for (int i = 0; !DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND; ++i)
        {
            if (i + 1 == kFileTries)
            {
                DeleteAtRestart(install, path);
                break;
            }
            Sleep(kFileRetryMs);
        }
    }
    if (!RemoveDirectoryW(kept.c_str()) && GetLastError() == ERROR_DIR_NOT_EMPTY)
        DeleteAtRestart(install, kept);
}

// A GUID as the installer writes it in its own keys: each of the first three
// groups reversed, then each byte of the rest with its two digits swapped.
std::wstring SquashGuid(const std::wstring& guid)
{
    if (guid.size() != 38)
        return std::wstring();
    const std::wstring hex = guid.substr(1, 8) + guid.substr(10, 4) + guid.substr(15, 4) + guid.substr(20, 4) +
                             guid.substr(25, 12);
    std::wstring squashed(hex.rbegin() + 24, hex.rbegin() + 32);
    squashed.append(hex.rbegin() + 20, hex.rbegin() + 24);
    squashed.append(hex.rbegin() + 16, hex.rbegin() + 20);
    for (size_t i = 16; i + 1 < hex.size(); i += 2)
        squashed += std::wstring{hex[i + 1], hex[i]};
    return squashed;
}

// Wine's installer deletes the whole key of an upgrade code when it removes
// or rolls back one product of it, taking the entries of the others with it,
// so that a later upgrade would not find them. The entry of an installed
// product that the installer no longer lists is written back. Windows keeps
// them: this runs only under Wine.
void KeepProductListed(MSIHANDLE install, const std::wstring& productCode, const std::wstring& upgradeCode)
{
    wchar_t related[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, i, related) == ERROR_SUCCESS; ++i)
    {
        if (CompareStringOrdinal(related, -1, productCode.c_str(), -1, TRUE) == CSTR_EQUAL)
            return;
    }
    if (MsiQueryProductStateW(productCode.c_str()) != INSTALLSTATE_DEFAULT || SquashGuid(upgradeCode).empty() ||
        SquashGuid(productCode).empty())
        return;
    const std::wstring path =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UpgradeCodes\\" + SquashGuid(upgradeCode);
    HKEY created = nullptr;
    LONG error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                 nullptr, &created, nullptr);
    const CKeyHandle key(created);
    if (error == ERROR_SUCCESS)
        error = RegSetValueExW(key.Get(), SquashGuid(productCode).c_str(), 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(L""), sizeof(wchar_t));
    Report(install, INSTALLMESSAGE_INFO,
           error == ERROR_SUCCESS
               ? L"the installer had lost the upgrade code entry of " + productCode + L": written back"
               : ErrorText(L"could not write back the upgrade code entry of " + productCode,
                           static_cast<DWORD>(error)));
}

// Where an upgrade sets the files it replaces aside until it succeeds:
// beside them, on the same volume, so that a running program can be moved.
std::wstring KeptFilesFolder(const std::wstring& host)
{
    return FolderOf(host) + L"\\previous";
}

bool RunStep(MSIHANDLE install, const std::wstring& host, const SetupStep& step)
{
    switch (step.kind)
    {
    case StepKind::Stop:
        return StopInstance(install, step.service);
    case StepKind::Start:
        return StartInstance(install, step.service);
    case StepKind::RunHost:
        return RunHost(install, host, step);
    case StepKind::RunHostAnyway:
        RunHost(install, host, step);
        return true;
    case StepKind::Undo:
        return true;
    case StepKind::KeepFiles:
        return SetFilesAside(install, FolderOf(host), step.arguments);
    case StepKind::ReturnFiles:
        return ReturnFiles(install, step.arguments, FolderOf(host));
    case StepKind::RestoreFiles:
        // Windows's rollback removes what it installed; Wine's also what the
        // new files replaced.
        ReturnFiles(install, step.arguments, FolderOf(host));
        DiscardFiles(install, step.arguments);
        return true;
    case StepKind::DiscardFiles:
        DiscardFiles(install, step.arguments);
        return true;
    case StepKind::KeepListed:
        KeepProductListed(install, step.service, step.arguments);
        return true;
    case StepKind::RunHostIfRegistrationChanged:
        return HasSameRegistration(KeptFilesFolder(host) + L"\\ZeltAgentSvc.exe", host) ||
               RunHost(install, host, step);
    }
    return false;
}

// The product codes of the older versions an upgrade replaces.
std::vector<std::wstring> ReadOlderProducts(MSIHANDLE install)
{
    std::vector<std::wstring> products;
    const std::wstring older = ReadProperty(install, L"WIX_UPGRADE_DETECTED");
    for (size_t begin = 0; begin < older.size();)
    {
        const size_t end = std::min(older.find(L';', begin), older.size());
        products.push_back(older.substr(begin, end - begin));
        begin = end + 1;
    }
    return products;
}

// Rollback depends on the installer's rollback and commit actions, which
// Windows does not run when rollback is disabled; so the package does not
// run then. A launch condition refuses the DISABLEROLLBACK property and the
// RollbackDisabled property; this also refuses the policy itself, should the
// installer set no property for it by the time the conditions are read.
const wchar_t* const kRollbackDisabled =
    L"ZeltAgentSvc cannot be installed, repaired or removed while rollback is disabled (the DisableRollback "
    L"policy or the DISABLEROLLBACK property): it restores its services only through rollback.";

}  // namespace

// Plans the instances' steps for the deferred actions; refuses a request
// that names no instance it can install.
extern "C" UINT __stdcall PrepareInstances(MSIHANDLE install)
{
    const std::wstring host = ReadProperty(install, L"INSTALLFOLDER") + L"ZeltAgentSvc.exe";
    const SetupRequest request{ReadProperty(install, L"PORT"),       ReadProperty(install, L"AGENT"),
                               ReadProperty(install, L"CMD"),        ReadProperty(install, L"NUM"),
                               ReadProperty(install, L"OUTPUT"),     ReadProperty(install, L"OUTPUTSIZE"),
                               ReadProperty(install, L"OUTPUTKEEP"), ReadProperty(install, L"PROBE")};
    if (IsRollbackDisabledByPolicy())
    {
        Report(install, INSTALLMESSAGE_ERROR, kRollbackDisabled);
        return ERROR_INSTALL_FAILURE;
    }
    const bool bWine = IsRunningOnWine();
    const SetupMode mode = ReadMode(install, bWine);
    CSystemServiceManager services;
    std::vector<SetupInstance> instances;
    std::wstring failure;
    if (FAILED(FindInstances(services, host, instances, failure)))
    {
        Report(install, INSTALLMESSAGE_ERROR, failure);
        return ERROR_INSTALL_FAILURE;
    }
    SetupPlan plan = PlanInstances(mode, request, instances);
    if (!plan.error.empty())
    {
        Report(install, INSTALLMESSAGE_ERROR, plan.error);
        return ERROR_INSTALL_FAILURE;
    }
    if ((mode == SetupMode::Installation || mode == SetupMode::Reinstall) && FileExists(host))
        GuardReplacedFiles(plan, KeptFilesFolder(host), ReadProperty(install, L"UpgradeCode"),
                           ReadOlderProducts(install), bWine);
    PlaceInstallUndo(plan, bWine);
    return SetStepProperties(install, host, plan);
}

// One deferred action's steps, in order. As an action, the first step that
// fails fails the installation (which is then rolled back), after the steps
// behind an Undo mark (under Wine only) have run; without a failure those do
// not run. As a rollback, every step is tried.
extern "C" UINT __stdcall RunInstanceSteps(MSIHANDLE install)
{
    std::wstring host;
    SetupSteps steps;
    if (!ParseSteps(ReadProperty(install, L"CustomActionData"), host, steps))
    {
        Report(install, INSTALLMESSAGE_INFO, L"the action's data cannot be read");
        return ERROR_INSTALL_FAILURE;
    }
    const bool bRollback = MsiGetMode(install, MSIRUNMODE_ROLLBACK) != FALSE;
    const auto begin = steps.cbegin();
    const auto end = steps.cend();
    auto step = begin;
    for (; step != end && step->kind != StepKind::Undo; ++step)
    {
        if (step->kind == StepKind::Stop && (step == begin || std::prev(step)->kind != StepKind::Stop))
            RequestStops(step, end);
        if (!RunStep(install, host, *step) && !bRollback)
            break;
    }
    if (step == end || (step->kind == StepKind::Undo && !bRollback))
        return ERROR_SUCCESS;
    step = std::find_if(step, end, [](const SetupStep& s) { return s.kind == StepKind::Undo; });
    Report(install, INSTALLMESSAGE_INFO, L"undoing the installation of the instances");
    for (; step != end; ++step)
        RunStep(install, host, *step);
    return ERROR_INSTALL_FAILURE;
}

// After the older version's removal, which under Wine takes this version's
// upgrade code entry away with its own. Windows keeps its registration to
// itself: nothing is written there.
extern "C" UINT __stdcall KeepUpgradeRegistration(MSIHANDLE install)
{
    if (IsRunningOnWine())
        KeepProductListed(install, ReadProperty(install, L"ProductCode"), ReadProperty(install, L"UpgradeCode"));
    return ERROR_SUCCESS;
}
