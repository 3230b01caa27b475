// The colorimeter client for the measuring applications: vendor control transfers and interrupt
// reads through the Talvik2 driver's device interface, above a Transport.
#pragma once

#include "talvik/Transport.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace talvik {

enum class Status {
    Success,
    InvalidRequest,  // the driver refused the request (control code or request kind)
    BufferTooSmall,  // block shorter than 10 bytes, or no buffer where one is required
    Timeout,         // the device did not finish within the driver's 5 seconds
    Cancelled,       // cancelled by the caller, or by power-down or stop of the device
    DeviceError,     // stall, USB status error, device failure
    DeviceGone,      // the colorimeter was unplugged or the path no longer exists
    InvalidArgument, // refused before any I/O (e.g. a data stage longer than a setup packet allows)
    NotOpen,         // no open device
    Failed,          // any other system error
};

const char* StatusName(Status status);
// Translates a system error code as DeviceIoControl reports it.
Status StatusFromError(uint32_t error);

struct Result {
    Status status = Status::Success;
    uint32_t error = 0; // system error code as reported; 0 on success
    uint32_t bytes = 0; // bytes returned, as reported
    bool Ok() const { return status == Status::Success; }
};

// Direction of the data stage of a vendor control transfer.
enum class Direction : uint8_t {
    HostToDevice = 0, // data sent to the device, or no data stage
    DeviceToHost = 1,
};

// A setup packet's wLength is 16 bits, so no data stage can be longer.
constexpr uint32_t kMaxControlLength = 0xFFFF;

constexpr size_t kVendorBlockSize = 10;
using VendorBlock = std::array<uint8_t, kVendorBlockSize>;

// The request block of a vendor request to the device, as the driver reads it.
VendorBlock EncodeVendorBlock(Direction direction, uint8_t request, uint16_t value, uint16_t index);

uint32_t VendorRequestCode();
uint32_t ReadInterruptCode();
const InterfaceClass& ColorimeterInterfaceClass();

// An overlapped request started on a Device. Wait gives its result; an operation destroyed
// without having been waited for is cancelled and waited for first, so the system never writes
// into a buffer the caller has already released.
class Operation {
public:
    Operation();
    Operation(Operation&& other) noexcept;
    Operation& operator=(Operation&& other) noexcept;
    ~Operation();

    bool Started() const { return m_state != nullptr; }
    Result Wait();
    // Waits for at most `milliseconds`; true when the operation has ended by then.
    bool WaitFor(uint32_t milliseconds);
    void Cancel();

private:
    friend class Device;
    struct State;
    explicit Operation(std::unique_ptr<State> state);
    void Abandon();
    std::unique_ptr<State> m_state;
};

class Device {
public:
    Device(std::string path, std::unique_ptr<Channel> channel);
    ~Device();

    const std::string& Path() const { return m_path; }
    bool IsOpen() const { return m_channel != nullptr; }
    // Closes the device. Operations still running keep the system handle open until they end.
    void Close();

    // One vendor control transfer to the device: `length` bytes of `data` are sent
    // (HostToDevice) or up to `length` bytes are received into it (DeviceToHost). bytes is the
    // number moved in the data stage.
    Result VendorRequest(Direction direction, uint8_t request, uint16_t value, uint16_t index,
                         uint8_t* data, uint32_t length);
    // The same with a vector: its size is the transfer length; after a DeviceToHost transfer it
    // holds the bytes received.
    Result VendorRequest(Direction direction, uint8_t request, uint16_t value, uint16_t index,
                         std::vector<uint8_t>& data);

    // One transfer from the interrupt IN pipe, at most `length` bytes.
    Result ReadInterrupt(uint8_t* buffer, uint32_t length);
    // The same with a vector: its size is the most to read; afterwards it holds the bytes read.
    Result ReadInterrupt(std::vector<uint8_t>& buffer);

    // Overlapped forms; the buffer must outlive the operation.
    Operation StartVendorRequest(Direction direction, uint8_t request, uint16_t value,
                                 uint16_t index, uint8_t* data, uint32_t length);
    Operation StartReadInterrupt(uint8_t* buffer, uint32_t length);

private:
    Operation Start(uint32_t code, const VendorBlock* block, uint8_t* data, uint32_t length);

    std::string m_path;
    std::shared_ptr<Channel> m_channel;
};

class Client {
public:
    explicit Client(Transport& transport) : m_transport(transport) {}

    // Paths of the colorimeters present.
    Result ListDevices(std::vector<std::string>& paths);
    Result Open(const std::string& path, std::unique_ptr<Device>& device);

private:
    Transport& m_transport;
};

} // namespace talvik
