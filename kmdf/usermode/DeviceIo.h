// The user-mode side of the simulated system: what an application does with the colorimeter
// through the I/O manager (SetupDi enumeration, CreateFile, DeviceIoControl, CancelIoEx,
// CloseHandle), against the devices of the current kmdf::sim::World.
//
// Self-contained on purpose (fixed-width types only, no platform header), so that a client built
// on winhost's <windows.h> can include it. Statuses are NTSTATUS values as 32-bit integers; a
// Win32 transport maps them with NtStatusToWin32Error.
//
// Buffer rules of the I/O manager, by the method in the control code's low two bits:
//   METHOD_BUFFERED     input and output share one system buffer; the driver's count of bytes is
//                       copied back into the caller's output buffer on completion.
//   METHOD_IN_DIRECT,   the input buffer is copied into a system buffer; the output buffer is
//   METHOD_OUT_DIRECT   described by an MDL and used in place (the driver writes the caller's
//                       memory directly). A zero-length output buffer has no MDL.
//   METHOD_NEITHER      the driver receives the caller's pointers as they are.
// The required-access bits (14-15) are checked against the access the handle was opened with.
//
// Threads: every function may be called from any thread; several requests may be outstanding on
// one handle. Buffers and the IoOperation must stay valid until the operation is done, exactly as
// with OVERLAPPED I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kmdf::um {

using Status = std::int32_t; // NTSTATUS

constexpr Status kStatusSuccess = 0;
constexpr Status kStatusPending = 0x103;

// Access rights for Open (the FILE_*_ACCESS bits a control code may require).
constexpr std::uint32_t kAccessRead = 0x1;
constexpr std::uint32_t kAccessWrite = 0x2;
constexpr std::uint32_t kAccessReadWrite = kAccessRead | kAccessWrite;

// The symbolic links of the present, enabled instances of a device-interface class, in arrival
// order. `interfaceClassGuid` points to a GUID in the standard 16-byte layout.
std::vector<std::string> FindDeviceInterfaces(const void* interfaceClassGuid);

class File;
using Handle = std::shared_ptr<File>;

// Opens a device interface by its symbolic link. Fails with STATUS_NO_SUCH_DEVICE (0xC000000E)
// for an unknown or removed interface and STATUS_DELETE_PENDING (0xC0000056) after a surprise
// removal. A driver that registered EvtDeviceFileCreate decides the open: the status it completes
// the create request with is returned. Without that callback no driver routine runs.
Status Open(const std::string& symbolicLink, std::uint32_t access, Handle* handle);

// Ends the handle (cleanup): the driver's EvtFileCleanup runs, then requests of this handle still
// waiting in the framework's queues are cancelled; requests the driver holds run on to
// completion, and EvtFileClose runs once they are done (at once when there are none; else from
// the world's clock). Further calls on it fail with STATUS_INVALID_HANDLE.
void Close(const Handle& handle);

// One overlapped device-control request (OVERLAPPED + GetOverlappedResult).
class IoOperation {
public:
    IoOperation();
    ~IoOperation();
    IoOperation(const IoOperation&) = delete;
    IoOperation& operator=(const IoOperation&) = delete;

    bool Done() const;
    // Final status and byte count (IoStatus.Information); valid once Done().
    Status GetStatus() const;
    std::uint64_t Information() const;

    // Waits for completion. While nothing else can end the wait, virtual time moves on to the
    // next timer of the world (a send timeout, an idle timer), so a request the device never
    // answers ends after its timeout without the caller sleeping. Returns the final status.
    Status Wait();
    // Waits without moving virtual time: another thread must finish the request (a thread
    // that advances the clock or feeds the device).
    Status WaitWithoutAdvancing();

    struct State;
    std::shared_ptr<State> state_;
};

// Synchronous DeviceIoControl: returns the final status; *bytesReturned gets the byte count.
// Waits as IoOperation::Wait does.
Status DeviceIoControl(const Handle& handle, std::uint32_t ioControlCode, const void* inBuffer,
                       std::uint32_t inLength, void* outBuffer, std::uint32_t outLength,
                       std::uint32_t* bytesReturned);

// Overlapped DeviceIoControl: returns STATUS_PENDING while the request is outstanding, else its
// final status (the operation is then already Done). `operation` must not be in use.
Status DeviceIoControlAsync(const Handle& handle, std::uint32_t ioControlCode, const void* inBuffer,
                            std::uint32_t inLength, void* outBuffer, std::uint32_t outLength,
                            IoOperation* operation);

// CancelIoEx: asks to cancel one outstanding operation of the handle, or all of them when
// `operation` is null. A request still in a framework queue completes with STATUS_CANCELLED; a
// request the driver has sent on is cancelled at its target and completed by the driver's
// completion routine; a request the driver holds otherwise is unaffected. Returns
// STATUS_NOT_FOUND (0xC0000225) when nothing was outstanding.
Status CancelIo(const Handle& handle, IoOperation* operation);

// VirtualProtect of the caller's memory: a read-only range may be read but not written (a
// read-only file mapping, shared image pages). The I/O manager probes output buffers that the
// transfer method lets the driver write (METHOD_BUFFERED, METHOD_OUT_DIRECT) for write access
// and fails the request with STATUS_ACCESS_VIOLATION (0xC0000005); METHOD_IN_DIRECT probes the
// output buffer for read access only. Ranges belong to the current World.
void ProtectReadOnly(const void* address, std::size_t length);
void ProtectReadWrite(const void* address, std::size_t length);

// RtlNtStatusToDosError for the statuses this system produces (others: ERROR_MR_MID_NOT_FOUND).
std::uint32_t NtStatusToWin32Error(Status status);

} // namespace kmdf::um
