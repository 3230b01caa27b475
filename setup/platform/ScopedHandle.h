// One owner for every kind of handle the setup opens: it closes what it holds when it goes, and a
// handle kind says in its traits what "nothing" is and how it is closed.
#pragma once

#include "platform/SystemApi.h"

template <typename Traits> class CScopedHandle {
public:
    using Handle = typename Traits::Handle;

    CScopedHandle() = default;
    explicit CScopedHandle(Handle handle) : m_handle(handle) {}
    ~CScopedHandle() { Reset(); }
    CScopedHandle(const CScopedHandle&) = delete;
    CScopedHandle& operator=(const CScopedHandle&) = delete;

    Handle Get() const { return m_handle; }
    bool IsValid() const { return m_handle != Traits::Invalid(); }

    // Closes what is held, then holds `handle`.
    void Reset(Handle handle = Traits::Invalid()) {
        if (IsValid())
            Traits::Close(m_handle);
        m_handle = handle;
    }

private:
    Handle m_handle = Traits::Invalid();
};

struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle key) { SystemApi().RegCloseKey(key); }
};

// FindFirstFileA reports failure with INVALID_HANDLE_VALUE, not null.
struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle find) { SystemApi().FindClose(find); }
};

// Process and thread handles.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { SystemApi().CloseHandle(handle); }
};

// A mutex asked for with initial ownership. Releasing one this thread does not own changes
// nothing (an instance that found the mutex existing never owned it); the handle is closed all
// the same.
struct OwnedMutexTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle mutex) {
        SystemApi().ReleaseMutex(mutex);
        SystemApi().CloseHandle(mutex);
    }
};

using CScopedRegKey = CScopedHandle<RegKeyTraits>;
using CScopedFindHandle = CScopedHandle<FindHandleTraits>;
using CScopedKernelHandle = CScopedHandle<KernelHandleTraits>;
using CScopedOwnedMutex = CScopedHandle<OwnedMutexTraits>;
