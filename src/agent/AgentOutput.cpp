#include "agent/AgentOutput.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>

#include "base/DataFolder.h"
#include "base/ExclusiveLock.h"
#include "base/Text.h"

namespace {

// Output may hold secrets: the folder and its files are open to the system
// and administrators only.
const wchar_t kFolderAccessList[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
const wchar_t kFileAccessList[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr DWORD kPipeBufferBytes = 64 * 1024;
constexpr size_t kLastLines = 3;
constexpr size_t kLastWordsUnits = 400;

LONG volatile s_pipeCount = 0;

// Creates a folder with the access list; one that exists is kept as it is.
DWORD CreateGuardedFolder(const std::wstring& folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderAccessList, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return GetLastError();
    const CLocalMemory owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    if (CreateDirectoryW(folder.c_str(), &attributes) || GetLastError() == ERROR_ALREADY_EXISTS)
        return ERROR_SUCCESS;
    return GetLastError();
}

// %ProgramData%\ZeltAgentSvc\<service name>, made with the access list.
DWORD MakeDefaultFolder(const std::wstring& instance, std::wstring& folder)
{
    const std::wstring data = ReadProgramDataFolder();
    if (data.empty())
        return ERROR_PATH_NOT_FOUND;
    folder = data + kHostDataFolder;
    const DWORD error = CreateGuardedFolder(folder);
    if (error != ERROR_SUCCESS || instance.empty())
        return error;
    folder += L"\\" + instance;
    return CreateGuardedFolder(folder);
}

std::wstring DecodeLine(const char* bytes, int count)
{
    for (const UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)})
    {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int units = MultiByteToWideChar(codePage, flags, bytes, count, nullptr, 0);
        if (units <= 0)
            continue;
        std::wstring line(static_cast<size_t>(units), L'\0');
        MultiByteToWideChar(codePage, flags, bytes, count, &line[0], units);
        return line;
    }
    return std::wstring();
}

}  // namespace

OutputWriteFunction g_pfnWriteOutputFile = &WriteFile;

std::wstring FormatLastWords(const std::string& tail, bool bCut)
{
    size_t begin = 0;
    if (bCut)
    {
        const size_t newline = tail.find('\n');
        if (newline != std::string::npos)
            begin = newline + 1;
        while (begin < tail.size() && (static_cast<unsigned char>(tail[begin]) & 0xC0) == 0x80)
            ++begin;  // inside a UTF-8 sequence
    }
    std::wstring words;
    size_t lines = 0;
    size_t units = 0;
    for (size_t end = tail.size(); end > begin && lines < kLastLines;)
    {
        size_t start = tail.rfind('\n', end - 1);
        start = (start == std::string::npos || start < begin) ? begin : start + 1;
        std::string bytes;
        for (size_t i = start; i < end; ++i)
        {
            if (tail[i] != '\r' && tail[i] != '\n')
                bytes += tail[i];
        }
        end = start > begin ? start - 1 : begin;
        if (bytes.empty())
            continue;
        std::wstring line = DecodeLine(bytes.data(), static_cast<int>(bytes.size()));
        if (units + line.size() > kLastWordsUnits)
        {
            if (lines != 0)
                break;
            line = L"..." + line.substr(line.size() - (kLastWordsUnits - 3));
        }
        units += line.size();
        words = L"\"" + line + L"\"" + (lines++ == 0 ? L"" : L" ") + words;
    }
    return words;
}

CAgentOutput::CAgentOutput(const AgentSettings& settings, const TraceWriter& writeTrace)
    : m_settings(settings.output), m_instance(settings.instance), m_writeTrace(writeTrace)
{
}

// The queue's writer runs inside a read's callback, so the wait covers it.
CAgentOutput::~CAgentOutput()
{
    if (m_pIo == nullptr)
        return;
    {
        CExclusiveLock lock(m_readLock);
        m_bClosing = true;
        CancelIoEx(m_hPipe.Get(), nullptr);
    }
    WaitForThreadpoolIoCallbacks(m_pIo, FALSE);
    CloseThreadpoolIo(m_pIo);
}

// The pipe's server end reads overlapped; the agent's client end is
// synchronous (a program expects its standard handles to be) and
// inheritable, as is the null device it reads as its standard input (an
// agent that reads it meets its end at once instead of waiting forever or
// failing on a missing handle). One instance only, taken by the host's own
// client at once: nobody else can connect.
DWORD CAgentOutput::Open()
{
    const DWORD folderError = m_settings.folder.empty() ? MakeDefaultFolder(m_instance, m_folder)
                                                        : CreateGuardedFolder(m_folder = m_settings.folder);
    if (folderError != ERROR_SUCCESS)
        WriteDrop(folderError);  // read on all the same: the end record keeps the last words
    else
        m_queue.reset(new char[kQueueBytes]);
    const std::wstring name =
        FormatText(L"\\\\.\\pipe\\ZeltAgentOutput.%lu.%lu.%lu", GetCurrentProcessId(),
                   static_cast<unsigned long>(InterlockedIncrement(&s_pipeCount)), GetTickCount());
    m_hPipe.Reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED |
                                   FILE_FLAG_FIRST_PIPE_INSTANCE,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
                                   kPipeBufferBytes, 0, nullptr));
    if (!m_hPipe)
        return GetLastError();
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    m_hWriter.Reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inheritable, OPEN_EXISTING, 0, nullptr));
    m_hNull.Reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                              0, nullptr));
    m_hDrained.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_hWriter || !m_hNull || !m_hDrained)
        return GetLastError();
    m_pIo = CreateThreadpoolIo(m_hPipe.Get(), &OnRead, this, nullptr);
    return m_pIo != nullptr ? ERROR_SUCCESS : GetLastError();
}

AgentStdHandles CAgentOutput::StdHandles() const
{
    return {m_hNull.Get(), m_hWriter.Get()};
}

// Once the host's copy of the client end is closed, the pipe breaks when
// the agent and every process that inherited its handles have ended.
bool CAgentOutput::BeginReading()
{
    m_hWriter.Reset();
    m_hNull.Reset();
    return ReadNext();
}

bool CAgentOutput::ReadNext()
{
    CExclusiveLock lock(m_readLock);
    if (m_bClosing)
        return false;
    m_overlapped = OVERLAPPED{};
    StartThreadpoolIo(m_pIo);
    // A read that completes at once is still delivered to the callback.
    if (ReadFile(m_hPipe.Get(), m_buffer, sizeof(m_buffer), nullptr, &m_overlapped) ||
        GetLastError() == ERROR_IO_PENDING)
        return true;
    const DWORD error = GetLastError();
    CancelThreadpoolIo(m_pIo);
    SetEvent(m_hDrained.Get());
    if (error != ERROR_BROKEN_PIPE)
        WriteDrop(error);
    return false;
}

// The bytes read are queued and the next read started before any file
// write, so that the pipe keeps emptying while the disk is behind.
void CALLBACK CAgentOutput::OnRead(PTP_CALLBACK_INSTANCE, void* context, void*, ULONG result, ULONG_PTR bytes,
                                   PTP_IO)
{
    auto* self = static_cast<CAgentOutput*>(context);
    if (result != NO_ERROR && result != ERROR_MORE_DATA)
    {
        SetEvent(self->m_hDrained.Get());  // every writer closed, or the read was cancelled
        return;
    }
    const DWORD count = static_cast<DWORD>(bytes);
    self->KeepTail(self->m_buffer, count);
    const bool bWriter = self->Queue(self->m_buffer, count);
    self->ReadNext();
    if (bWriter)
        self->WriteQueued();
}

void CAgentOutput::Drain(DWORD timeoutMs)
{
    if (m_pIo != nullptr)
        WaitForSingleObject(m_hDrained.Get(), timeoutMs);
}

std::wstring CAgentOutput::LastWords() const
{
    CExclusiveLock lock(m_tailLock);
    return FormatLastWords(m_tail, m_bTailCut);
}

void CAgentOutput::KeepTail(const char* bytes, DWORD count)
{
    CExclusiveLock lock(m_tailLock);
    m_tail.append(bytes, count);
    if (m_tail.size() > kTailBytes)
    {
        m_tail.erase(0, m_tail.size() - kTailBytes);
        m_bTailCut = true;
    }
}

// Appends what was read behind the queued bytes, as much as fits (the rest
// is dropped: the writer is still busy with earlier output, hence
// ERROR_BUSY); true when the caller is to write the queue, no other
// completion doing so.
bool CAgentOutput::Queue(const char* bytes, DWORD count)
{
    if (!m_queue || count == 0)
        return false;
    bool bWriter = false;
    size_t taken = 0;
    {
        CExclusiveLock lock(m_queueLock);
        taken = std::min<size_t>(count, kQueueBytes - m_queuedBytes);
        const size_t back = (m_queueFront + m_queuedBytes) % kQueueBytes;
        const size_t first = std::min(taken, kQueueBytes - back);
        memcpy(&m_queue[back], bytes, first);
        memcpy(&m_queue[0], bytes + first, taken - first);
        m_queuedBytes += taken;
        bWriter = !m_bWriting;
        m_bWriting = true;
    }
    if (taken < count)
        WriteDrop(ERROR_BUSY);
    return bWriter;
}

// Writes the queue front first, outside the lock, until it is empty; one
// completion at a time does, so the file has one writer and the bytes keep
// their order. A write may block (a slow or stuck disk; an overlapped write
// would not help, since one that extends a file runs synchronously): it
// holds this one pool worker, and the completions of the next reads run on
// other workers, which the pool adds while its workers are busy, and only
// append to the queue. The pool is not told that this callback may run
// long: that would have it start a worker on many turns of a flood, for
// no gain on a disk that keeps up; the pipe's buffer and the queue cover
// the time the pool takes to add one.
void CAgentOutput::WriteQueued()
{
    for (size_t written = 0;;)
    {
        const char* bytes = nullptr;
        size_t count = 0;
        {
            CExclusiveLock lock(m_queueLock);
            m_queueFront = (m_queueFront + written) % kQueueBytes;
            m_queuedBytes -= written;
            if (m_queuedBytes == 0)
            {
                m_queueFront = 0;  // the next bytes lie in one piece
                m_bWriting = false;
                return;
            }
            bytes = &m_queue[m_queueFront];
            count = std::min(m_queuedBytes, kQueueBytes - m_queueFront);
        }
        Keep(bytes, count);
        written = count;
    }
}

// Fills the current file up to its bound, then goes on in a new file, the
// current one becoming agent.1.log; a write that fails (a full disk, a
// rotation that a reader holds up) drops the rest of the bytes and goes on.
void CAgentOutput::Keep(const char* bytes, size_t count)
{
    while (count > 0)
    {
        DWORD error = m_hFile ? ERROR_SUCCESS : OpenFile();
        if (error == ERROR_SUCCESS && m_fileBytes > 0 && m_fileBytes >= m_settings.rotateBytes)
        {
            error = Rotate();
            if (error == ERROR_SUCCESS)
                error = OpenFile();
        }
        const ULONGLONG room = m_settings.rotateBytes > m_fileBytes ? m_settings.rotateBytes - m_fileBytes : count;
        const DWORD piece = static_cast<DWORD>(std::min<ULONGLONG>(count, room));
        DWORD written = 0;
        if (error == ERROR_SUCCESS && !g_pfnWriteOutputFile(m_hFile.Get(), bytes, piece, &written, nullptr))
            error = GetLastError();
        m_fileBytes += written;
        if (error != ERROR_SUCCESS)
        {
            WriteDrop(error);
            return;
        }
        bytes += piece;
        count -= piece;
    }
}

// agent.log -> agent.1.log -> ... -> agent.<keep>.log, the oldest replaced.
DWORD CAgentOutput::Rotate()
{
    m_hFile.Reset();
    if (m_settings.keepFiles == 0 && !DeleteFileW(FileName(0).c_str()))
        return GetLastError();
    for (DWORD index = m_settings.keepFiles; index > 0; --index)
    {
        if (!MoveFileExW(FileName(index - 1).c_str(), FileName(index).c_str(), MOVEFILE_REPLACE_EXISTING) &&
            GetLastError() != ERROR_FILE_NOT_FOUND)
            return GetLastError();
    }
    m_fileBytes = 0;
    return ERROR_SUCCESS;
}

// Appends to the current file, which a reader may have open (not for
// writing) and which a rotation may rename.
DWORD CAgentOutput::OpenFile()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kFileAccessList, SDDL_REVISION_1, &descriptor, nullptr))
        return GetLastError();
    const CLocalMemory owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    m_hFile.Reset(CreateFileW(FileName(0).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!m_hFile || !GetFileSizeEx(m_hFile.Get(), &size))
        return GetLastError();
    m_fileBytes = static_cast<ULONGLONG>(size.QuadPart);
    return ERROR_SUCCESS;
}

std::wstring CAgentOutput::FileName(DWORD index) const
{
    return m_folder + (index == 0 ? L"\\" + std::wstring(kOutputFileName) : FormatText(L"\\agent.%lu.log", index));
}

// Once for each agent: a full disk would otherwise write one record a read.
// The writer and the read completions may drop at once.
void CAgentOutput::WriteDrop(DWORD error)
{
    if (!m_writeTrace || InterlockedExchange(&m_bDropWritten, TRUE) != FALSE)
        return;
    m_writeTrace(EventKind::AgentOutputDropped,
                 FormatText(L"Agent output dropped (%s) [err=%lu]; what it writes is read on and not kept until the "
                            L"file can be written",
                            FileName(0).c_str(), error));
}
