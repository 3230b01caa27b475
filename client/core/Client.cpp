#include "talvik/Client.h"
#include "talvik/SystemErrors.h"

#include <algorithm>
#include <utility>

namespace talvik {

namespace {

Result Refused(Status status, uint32_t error) {
    Result r;
    r.status = status;
    r.error = error;
    return r;
}

Result FromOutcome(const IoOutcome& outcome, uint32_t length) {
    Result r;
    r.error = outcome.error;
    r.status = StatusFromError(outcome.error);
    // Never let a count larger than the buffer reach a caller that indexes with it.
    r.bytes = std::min(outcome.bytes, length);
    return r;
}

} // namespace

struct Operation::State {
    std::shared_ptr<Channel> channel; // keeps the device open while the request runs
    std::unique_ptr<PendingIo> io;
    VendorBlock block{};
    uint32_t length = 0;
    bool done = false;
    Result result;
};

Operation::Operation() = default;

Operation::Operation(Operation&& other) noexcept = default;

Operation::Operation(std::unique_ptr<State> state) : m_state(std::move(state)) {}

Operation& Operation::operator=(Operation&& other) noexcept {
    if (this != &other) {
        Abandon();
        m_state = std::move(other.m_state);
    }
    return *this;
}

Operation::~Operation() {
    Abandon();
}

void Operation::Abandon() {
    if (m_state && !m_state->done) {
        m_state->io->Cancel();
        Wait();
    }
    m_state.reset();
}

Result Operation::Wait() {
    if (!m_state)
        return Refused(Status::NotOpen, syserr::kInvalidHandle);
    if (!m_state->done) {
        m_state->result = FromOutcome(m_state->io->Wait(), m_state->length);
        m_state->done = true;
        m_state->io.reset();
        m_state->channel.reset();
    }
    return m_state->result;
}

bool Operation::WaitFor(uint32_t milliseconds) {
    return !m_state || m_state->done || m_state->io->WaitFor(milliseconds);
}

void Operation::Cancel() {
    if (m_state && !m_state->done)
        m_state->io->Cancel();
}

Device::Device(std::string path, std::unique_ptr<Channel> channel)
    : m_path(std::move(path)), m_channel(std::move(channel)) {}

Device::~Device() = default;

void Device::Close() {
    m_channel.reset();
}

Operation Device::Start(uint32_t code, const VendorBlock* block, uint8_t* data, uint32_t length) {
    auto state = std::make_unique<Operation::State>();
    state->length = length;
    if (!m_channel) {
        state->done = true;
        state->result = Refused(Status::NotOpen, syserr::kInvalidHandle);
        return Operation(std::move(state));
    }
    if (data == nullptr && length != 0) {
        state->done = true;
        state->result = Refused(Status::InvalidArgument, syserr::kInvalidParameter);
        return Operation(std::move(state));
    }
    state->channel = m_channel;
    const void* in = nullptr;
    uint32_t inLength = 0;
    if (block) {
        // The block lives in the operation, so it outlasts the request.
        state->block = *block;
        in = state->block.data();
        inLength = static_cast<uint32_t>(state->block.size());
    }
    state->io = m_channel->Submit(code, in, inLength, data, length);
    return Operation(std::move(state));
}

Operation Device::StartVendorRequest(Direction direction, uint8_t request, uint16_t value,
                                     uint16_t index, uint8_t* data, uint32_t length) {
    if (length > kMaxControlLength) {
        auto state = std::make_unique<Operation::State>();
        state->done = true;
        state->result = Refused(Status::InvalidArgument, syserr::kInvalidParameter);
        return Operation(std::move(state));
    }
    const VendorBlock block = EncodeVendorBlock(direction, request, value, index);
    return Start(VendorRequestCode(), &block, data, length);
}

Operation Device::StartReadInterrupt(uint8_t* buffer, uint32_t length) {
    return Start(ReadInterruptCode(), nullptr, buffer, length);
}

Result Device::VendorRequest(Direction direction, uint8_t request, uint16_t value, uint16_t index,
                             uint8_t* data, uint32_t length) {
    return StartVendorRequest(direction, request, value, index, data, length).Wait();
}

Result Device::VendorRequest(Direction direction, uint8_t request, uint16_t value, uint16_t index,
                             std::vector<uint8_t>& data) {
    if (data.size() > kMaxControlLength)
        return Refused(Status::InvalidArgument, syserr::kInvalidParameter);
    Result r = VendorRequest(direction, request, value, index, data.data(),
                             static_cast<uint32_t>(data.size()));
    if (direction == Direction::DeviceToHost)
        data.resize(r.bytes);
    return r;
}

Result Device::ReadInterrupt(uint8_t* buffer, uint32_t length) {
    return StartReadInterrupt(buffer, length).Wait();
}

Result Device::ReadInterrupt(std::vector<uint8_t>& buffer) {
    if (buffer.size() > UINT32_MAX)
        return Refused(Status::InvalidArgument, syserr::kInvalidParameter);
    Result r = ReadInterrupt(buffer.data(), static_cast<uint32_t>(buffer.size()));
    buffer.resize(r.bytes);
    return r;
}

Result Client::ListDevices(std::vector<std::string>& paths) {
    paths.clear();
    const uint32_t error = m_transport.ListInterfaces(ColorimeterInterfaceClass(), paths);
    Result r = Refused(StatusFromError(error), error);
    r.bytes = 0;
    return r;
}

Result Client::Open(const std::string& path, std::unique_ptr<Device>& device) {
    device.reset();
    std::unique_ptr<Channel> channel;
    const uint32_t error = m_transport.Open(path, channel);
    if (error == syserr::kSuccess && !channel)
        return Refused(Status::Failed, syserr::kInvalidHandle);
    if (error != syserr::kSuccess)
        return Refused(StatusFromError(error), error);
    device = std::make_unique<Device>(path, std::move(channel));
    return Result{};
}

} // namespace talvik
