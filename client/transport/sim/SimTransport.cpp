#include "SimTransport.h"

#include "kmdf/usermode/DeviceIo.h"

namespace talvik {

namespace {

static_assert(sizeof(InterfaceClass) == 16, "the standard GUID layout");

uint32_t ToError(kmdf::um::Status status) {
    return kmdf::um::NtStatusToWin32Error(status);
}

class SimPendingIo : public PendingIo {
public:
    SimPendingIo(kmdf::um::Handle handle, const std::function<void()>& after)
        : m_handle(std::move(handle)), m_after(after) {}
    ~SimPendingIo() override {
        if (m_started && !m_operation.Done()) {
            Cancel();
            m_operation.Wait();
        }
    }

    void Start(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength) {
        kmdf::um::DeviceIoControlAsync(m_handle, code, in, inLength, out, outLength, &m_operation);
        m_started = true;
    }

    IoOutcome Wait() override {
        const kmdf::um::Status status = m_operation.Wait();
        if (m_after)
            m_after();
        return {ToError(status), static_cast<uint32_t>(m_operation.Information())};
    }

    void Cancel() override {
        if (!m_operation.Done())
            kmdf::um::CancelIo(m_handle, &m_operation);
    }

private:
    kmdf::um::Handle m_handle;
    const std::function<void()>& m_after;
    kmdf::um::IoOperation m_operation;
    bool m_started = false;
};

class SimChannel : public Channel {
public:
    SimChannel(kmdf::um::Handle handle, const std::function<void()>& after)
        : m_handle(std::move(handle)), m_after(after) {}
    ~SimChannel() override { kmdf::um::Close(m_handle); }

    std::unique_ptr<PendingIo> Submit(uint32_t code, const void* in, uint32_t inLength, void* out,
                                      uint32_t outLength) override {
        auto io = std::make_unique<SimPendingIo>(m_handle, m_after);
        io->Start(code, in, inLength, out, outLength);
        return io;
    }

private:
    kmdf::um::Handle m_handle;
    const std::function<void()>& m_after;
};

} // namespace

uint32_t SimTransport::ListInterfaces(const InterfaceClass& cls, std::vector<std::string>& paths) {
    paths = kmdf::um::FindDeviceInterfaces(&cls);
    return 0;
}

uint32_t SimTransport::Open(const std::string& path, std::unique_ptr<Channel>& channel) {
    kmdf::um::Handle handle;
    const kmdf::um::Status status = kmdf::um::Open(path, kmdf::um::kAccessReadWrite, &handle);
    if (status != kmdf::um::kStatusSuccess)
        return ToError(status);
    channel = std::make_unique<SimChannel>(std::move(handle), m_afterRequest);
    return 0;
}

} // namespace talvik
