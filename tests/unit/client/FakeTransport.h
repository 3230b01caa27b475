// A scripted transport: records every request as the driver would receive it and answers from a
// queue of replies (or completes nothing until the test says so).
#pragma once

#include "talvik/Transport.h"

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace talvik::test {

struct Reply {
    uint32_t error = 0;
    uint32_t bytes = 0;
    std::vector<uint8_t> data;        // written into the output buffer (cut at its length)
    bool pendsUntilCancelled = false; // WaitFor times out until the request is cancelled
};

struct Submission {
    uint32_t code = 0;
    std::vector<uint8_t> input;
    const void* inPointer = nullptr;
    void* outPointer = nullptr;
    uint32_t outLength = 0;
    std::vector<uint8_t> outAtSubmit; // what the driver would read from the output buffer
};

class FakeTransport;

class FakePendingIo : public PendingIo {
public:
    FakePendingIo(FakeTransport& transport, size_t number)
        : m_transport(transport), m_number(number) {}
    IoOutcome Wait() override;
    bool WaitFor(uint32_t milliseconds) override;
    void Cancel() override;

private:
    FakeTransport& m_transport;
    size_t m_number;
    bool m_cancelled = false;
};

class FakeChannel : public Channel {
public:
    FakeChannel(FakeTransport& transport, std::string path)
        : m_transport(transport), m_path(std::move(path)) {}
    ~FakeChannel() override;
    std::unique_ptr<PendingIo> Submit(uint32_t code, const void* in, uint32_t inLength, void* out,
                                      uint32_t outLength) override;

private:
    FakeTransport& m_transport;
    std::string m_path;
};

class FakeTransport : public Transport {
public:
    // Scripted world
    std::vector<std::string> devices;
    uint32_t listError = 0;
    std::map<std::string, uint32_t> openErrors;
    std::deque<Reply> replies; // one per request, in order of Wait; none left: success, 0 bytes

    // What happened
    std::vector<InterfaceClass> listedClasses;
    std::vector<std::string> opened;
    std::vector<Submission> submissions;
    std::vector<std::string>
        events; // "submit 1", "cancel 1", "wait 1", "waitfor 1 500", "close PATH"
    int openChannels = 0;

    uint32_t ListInterfaces(const InterfaceClass& cls, std::vector<std::string>& paths) override {
        listedClasses.push_back(cls);
        if (listError == 0)
            paths = devices;
        return listError;
    }

    uint32_t Open(const std::string& path, std::unique_ptr<Channel>& channel) override {
        auto it = openErrors.find(path);
        if (it != openErrors.end())
            return it->second;
        opened.push_back(path);
        ++openChannels;
        channel = std::make_unique<FakeChannel>(*this, path);
        return 0;
    }

    IoOutcome Complete(size_t number) {
        events.push_back("wait " + std::to_string(number));
        Submission& s = submissions[number - 1];
        if (replies.empty())
            return {};
        Reply reply = replies.front();
        replies.pop_front();
        const size_t n = std::min<size_t>(reply.data.size(), s.outLength);
        if (n != 0)
            std::memcpy(s.outPointer, reply.data.data(), n);
        return {reply.error, reply.bytes};
    }
};

inline IoOutcome FakePendingIo::Wait() {
    return m_transport.Complete(m_number);
}

inline bool FakePendingIo::WaitFor(uint32_t milliseconds) {
    m_transport.events.push_back("waitfor " + std::to_string(m_number) + " " +
                                 std::to_string(milliseconds));
    const bool pends =
        !m_transport.replies.empty() && m_transport.replies.front().pendsUntilCancelled;
    return !pends || m_cancelled;
}

inline void FakePendingIo::Cancel() {
    m_cancelled = true;
    m_transport.events.push_back("cancel " + std::to_string(m_number));
}

inline FakeChannel::~FakeChannel() {
    --m_transport.openChannels;
    m_transport.events.push_back("close " + m_path);
}

inline std::unique_ptr<PendingIo> FakeChannel::Submit(uint32_t code, const void* in,
                                                      uint32_t inLength, void* out,
                                                      uint32_t outLength) {
    Submission s;
    s.code = code;
    s.inPointer = in;
    if (in)
        s.input.assign(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + inLength);
    s.outPointer = out;
    s.outLength = outLength;
    if (out)
        s.outAtSubmit.assign(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + outLength);
    m_transport.submissions.push_back(std::move(s));
    const size_t number = m_transport.submissions.size();
    m_transport.events.push_back("submit " + std::to_string(number));
    return std::make_unique<FakePendingIo>(m_transport, number);
}

} // namespace talvik::test
