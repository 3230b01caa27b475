#include "Win32Transport.h"

#include "talvik/SystemErrors.h"

#include <setupapi.h>

#include <vector>

namespace talvik {

static_assert(syserr::kInvalidFunction == ERROR_INVALID_FUNCTION);
static_assert(syserr::kFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(syserr::kAccessDenied == ERROR_ACCESS_DENIED);
static_assert(syserr::kInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(syserr::kNotReady == ERROR_NOT_READY);
static_assert(syserr::kBadCommand == ERROR_BAD_COMMAND);
static_assert(syserr::kCrc == ERROR_CRC);
static_assert(syserr::kGenFailure == ERROR_GEN_FAILURE);
static_assert(syserr::kNotSupported == ERROR_NOT_SUPPORTED);
static_assert(syserr::kInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(syserr::kSemTimeout == ERROR_SEM_TIMEOUT);
static_assert(syserr::kInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(syserr::kMoreData == ERROR_MORE_DATA);
static_assert(syserr::kNoMoreItems == ERROR_NO_MORE_ITEMS);
static_assert(syserr::kMrMidNotFound == ERROR_MR_MID_NOT_FOUND);
static_assert(syserr::kOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(syserr::kIoPending == ERROR_IO_PENDING);
static_assert(syserr::kDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED);
static_assert(syserr::kNoSystemResources == ERROR_NO_SYSTEM_RESOURCES);
static_assert(syserr::kDeviceRemoved == ERROR_DEVICE_REMOVED);

namespace {

class DeviceInfoSet {
public:
    explicit DeviceInfoSet(HDEVINFO set) : m_set(set) {}
    ~DeviceInfoSet() {
        if (m_set != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(m_set);
    }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
    HDEVINFO Get() const { return m_set; }

private:
    HDEVINFO m_set;
};

GUID ToGuid(const InterfaceClass& cls) {
    GUID g;
    g.Data1 = cls.data1;
    g.Data2 = cls.data2;
    g.Data3 = cls.data3;
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = cls.data4[i];
    return g;
}

// CancelIoEx cancels one request from any thread; before Vista only CancelIo exists, which
// cancels every request the calling thread started on the handle.
using CancelIoExFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);

CancelIoExFn FindCancelIoEx() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel)
        return nullptr;
    return reinterpret_cast<CancelIoExFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "CancelIoEx")));
}

class Win32PendingIo : public PendingIo {
public:
    Win32PendingIo(HANDLE handle, HANDLE event) : m_handle(handle), m_event(event) {
        ZeroMemory(&m_overlapped, sizeof m_overlapped);
        m_overlapped.hEvent = event;
    }
    ~Win32PendingIo() override {
        if (m_pending) {
            Cancel();
            Wait();
        }
        CloseHandle(m_event);
    }
    Win32PendingIo(const Win32PendingIo&) = delete;
    Win32PendingIo& operator=(const Win32PendingIo&) = delete;

    void Start(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength) {
        // The system reads the input buffer during the call only, but the prototype is not const.
        if (DeviceIoControl(m_handle, code, const_cast<void*>(in), inLength, out, outLength,
                            nullptr, &m_overlapped)) {
            m_pending = true; // finished at once; the count is read through the overlapped record
            return;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            m_pending = true;
            return;
        }
        m_outcome.error = error;
    }

    IoOutcome Wait() override {
        if (!m_pending)
            return m_outcome;
        m_pending = false;
        DWORD bytes = 0;
        // A failed request that pended still reports the count the driver completed it with.
        if (!GetOverlappedResult(m_handle, &m_overlapped, &bytes, TRUE))
            m_outcome.error = GetLastError();
        m_outcome.bytes = bytes;
        return m_outcome;
    }

    bool WaitFor(uint32_t milliseconds) override {
        return !m_pending || WaitForSingleObject(m_event, milliseconds) == WAIT_OBJECT_0;
    }

    void Cancel() override {
        if (!m_pending)
            return;
        static const CancelIoExFn cancelIoEx = FindCancelIoEx();
        if (cancelIoEx)
            cancelIoEx(m_handle, &m_overlapped);
        else
            CancelIo(m_handle);
    }

private:
    HANDLE m_handle;
    HANDLE m_event;
    OVERLAPPED m_overlapped;
    bool m_pending = false;
    IoOutcome m_outcome;
};

} // namespace

uint32_t Win32Transport::ListInterfaces(const InterfaceClass& cls,
                                        std::vector<std::string>& paths) {
    const GUID guid = ToGuid(cls);
    DeviceInfoSet set(
        SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (set.Get() == INVALID_HANDLE_VALUE)
        return GetLastError();
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data;
        ZeroMemory(&data, sizeof data);
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &guid, i, &data)) {
            const DWORD error = GetLastError();
            return error == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : error;
        }
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set.Get(), &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            return GetLastError() == ERROR_SUCCESS ? ERROR_GEN_FAILURE : GetLastError();
        // DWORD elements keep the record aligned as its cbSize field requires.
        std::vector<DWORD> storage((size + sizeof(DWORD) - 1) / sizeof(DWORD) + 1);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set.Get(), &data, detail, size, nullptr, nullptr))
            return GetLastError();
        paths.emplace_back(detail->DevicePath);
    }
}

uint32_t Win32Transport::Open(const std::string& path, std::unique_ptr<Channel>& channel) {
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    channel = std::make_unique<Win32Channel>(handle);
    return ERROR_SUCCESS;
}

Win32Channel::Win32Channel(HANDLE handle) : m_handle(handle) {}

Win32Channel::~Win32Channel() {
    CloseHandle(m_handle);
}

std::unique_ptr<PendingIo> Win32Channel::Submit(uint32_t code, const void* in, uint32_t inLength,
                                                void* out, uint32_t outLength) {
    // One manual-reset event per request, so that requests in flight at once never share one.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event)
        return std::make_unique<CompletedIo>(IoOutcome{GetLastError(), 0});
    auto io = std::make_unique<Win32PendingIo>(m_handle, event);
    io->Start(code, in, inLength, out, outLength);
    return io;
}

} // namespace talvik
