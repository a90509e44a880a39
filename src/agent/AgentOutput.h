// The agent's standard output and error, kept when the instance asks for it.
// The agent writes into the client end of a uniquely named pipe; the host
// reads the server end with overlapped reads completed on the thread pool
// (no thread of its own). Each completion keeps the last bytes for the
// record of the agent's end, copies what it read into a bounded queue and
// starts the next read before any file is written; one completion at a time
// writes the queue, in order, to "agent.log" in the instance's folder and
// rotates that file by size. A slow or stuck disk therefore never holds the
// agent up: what does not fit in the queue, or cannot be written, is
// dropped, and one record for the agent's run says so.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "agent/AgentSupervisor.h"

// The write into the output file: WriteFile, replaceable so that a slow or
// stuck disk can be tested.
using OutputWriteFunction = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
extern OutputWriteFunction g_pfnWriteOutputFile;

// The handles a launch with output gives the agent, inherited alone: its
// standard input (the null device) and its standard output and error (the
// pipe's client end).
struct AgentStdHandles
{
    HANDLE input = nullptr;
    HANDLE output = nullptr;
};

class CAgentOutput
{
public:
    // Bytes of the agent's last output kept for its end record.
    static constexpr DWORD kTailBytes = 2048;
    // Bytes read and waiting for the file; what comes beyond is dropped.
    static constexpr size_t kQueueBytes = 128 * 1024;

    CAgentOutput(const AgentSettings& settings, const TraceWriter& writeTrace);
    // Cancels the outstanding read and returns once no callback runs, the
    // queue's writer included (it writes what is queued first).
    ~CAgentOutput();
    CAgentOutput(const CAgentOutput&) = delete;
    CAgentOutput& operator=(const CAgentOutput&) = delete;

    // Makes the folder, the pipe and the agent's handles; the Windows error.
    DWORD Open();
    AgentStdHandles StdHandles() const;
    // After the launch: drops the host's copies of the agent's handles and
    // starts reading. False (written) when the first read cannot start.
    bool BeginReading();
    // Waits until every writer has closed the pipe and all is read, at most
    // `timeoutMs`.
    void Drain(DWORD timeoutMs);
    // The agent's last lines for its end record (see FormatLastWords).
    std::wstring LastWords() const;

private:
    static void CALLBACK OnRead(PTP_CALLBACK_INSTANCE, void* context, void* overlapped, ULONG result,
                                ULONG_PTR bytes, PTP_IO io);
    bool ReadNext();
    bool Queue(const char* bytes, DWORD count);
    void WriteQueued();
    void Keep(const char* bytes, size_t count);
    void KeepTail(const char* bytes, DWORD count);
    DWORD Rotate();
    DWORD OpenFile();
    std::wstring FileName(DWORD index) const;
    void WriteDrop(DWORD error);

    const AgentSettings::Output m_settings;
    const std::wstring m_instance;
    const TraceWriter& m_writeTrace;
    std::wstring m_folder;
    CFileHandle m_hPipe;
    CFileHandle m_hWriter;
    CFileHandle m_hNull;
    PTP_IO m_pIo = nullptr;
    OVERLAPPED m_overlapped{};
    char m_buffer[4096];
    // Raised under m_readLock before the read is cancelled, so that no read
    // starts after the cancellation.
    mutable SRWLOCK m_readLock = SRWLOCK_INIT;
    bool m_bClosing = false;
    // Set once reading has ended (every writer closed, or a failure).
    CKernelHandle m_hDrained;
    // A ring of kQueueBytes: completions append behind the queued bytes, the
    // writer writes from their front; both under m_queueLock, the file
    // write outside it (appends never touch the queued bytes).
    SRWLOCK m_queueLock = SRWLOCK_INIT;
    std::unique_ptr<char[]> m_queue;
    size_t m_queueFront = 0;
    size_t m_queuedBytes = 0;
    bool m_bWriting = false;
    // Only the writer touches the file.
    CFileHandle m_hFile;
    ULONGLONG m_fileBytes = 0;
    LONG volatile m_bDropWritten = FALSE;
    mutable SRWLOCK m_tailLock = SRWLOCK_INIT;
    std::string m_tail;
    bool m_bTailCut = false;
};

// The last lines of the agent's output, for its end record: at most 3
// non-empty lines and 400 characters, each quoted ("a" "b"), carriage
// returns stripped, each line decoded as UTF-8 or, where that is invalid, in
// the ANSI code page. `bCut`: the bytes begin inside the output, so the
// first (partial) line is dropped. Empty when the agent wrote nothing.
std::wstring FormatLastWords(const std::string& tail, bool bCut);
