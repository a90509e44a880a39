// Move-only owners for the handle kinds the host opens. Each handle has one
// owner, which closes it when it goes out of scope.
#pragma once

#include <windows.h>

template <typename Traits>
class CUniqueHandle
{
public:
    using Handle = typename Traits::Handle;

    CUniqueHandle() noexcept = default;
    explicit CUniqueHandle(Handle handle) noexcept : m_handle(handle) {}
    ~CUniqueHandle() { Reset(); }

    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_handle(other.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    Handle Get() const noexcept { return m_handle; }
    bool IsValid() const noexcept { return m_handle != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Gives up ownership without closing.
    Handle Release() noexcept
    {
        Handle handle = m_handle;
        m_handle = Traits::Invalid();
        return handle;
    }

    // Closes the held handle (keeping the caller's last error) and holds another.
    void Reset(Handle handle = Traits::Invalid()) noexcept
    {
        if (IsValid())
        {
            const DWORD lastError = GetLastError();
            Traits::Close(m_handle);
            SetLastError(lastError);
        }
        m_handle = handle;
    }

private:
    Handle m_handle = Traits::Invalid();
};

// The traits of a handle kind whose empty value is null: the call that
// closes a handle (its result is of no use to an owner).
template <typename THandle, auto pfnClose>
struct NullHandleTraits
{
    using Handle = THandle;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle handle) noexcept { pfnClose(handle); }
};

// Snapshots and files report failure as INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits
{
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) noexcept { CloseHandle(handle); }
};

using KernelHandleTraits = NullHandleTraits<HANDLE, &CloseHandle>;
using LibraryHandleTraits = NullHandleTraits<HMODULE, &FreeLibrary>;
using EventSourceHandleTraits = NullHandleTraits<HANDLE, &DeregisterEventSource>;
// Service-manager handles: the manager's and a service's alike.
using ServiceHandleTraits = NullHandleTraits<SC_HANDLE, &CloseServiceHandle>;
using RegistryKeyTraits = NullHandleTraits<HKEY, &RegCloseKey>;
// Memory that a system call allocated for its caller (a security descriptor).
using LocalMemoryTraits = NullHandleTraits<HLOCAL, &LocalFree>;

using CKernelHandle = CUniqueHandle<KernelHandleTraits>;
using CFileHandle = CUniqueHandle<FileHandleTraits>;
using CLibraryHandle = CUniqueHandle<LibraryHandleTraits>;
using CEventSourceHandle = CUniqueHandle<EventSourceHandleTraits>;
using CServiceHandle = CUniqueHandle<ServiceHandleTraits>;
using CKeyHandle = CUniqueHandle<RegistryKeyTraits>;
using CLocalMemory = CUniqueHandle<LocalMemoryTraits>;

// Owner of both handles that process creation returns.
struct CProcessInformation
{
    CKernelHandle process;
    CKernelHandle thread;

    void Adopt(const PROCESS_INFORMATION& info) noexcept
    {
        process.Reset(info.hProcess);
        thread.Reset(info.hThread);
    }
};
