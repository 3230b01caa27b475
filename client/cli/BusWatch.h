// talvikctl --bus on Windows: after each request, what the virtual bus logged meanwhile, read
// through the bus's control interface (a test bed's bus; the platform's USB stack has none) and
// printed as the simulated build prints its machine's traffic (BusPrint).
#pragma once

#include "Output.h"
#include "talvik/Transport.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace talvik::cli {

class BusWatch : public Transport {
public:
    BusWatch(Transport& inner, Output& out) : m_inner(inner), m_out(out) {}
    ~BusWatch() override;
    BusWatch(const BusWatch&) = delete;
    BusWatch& operator=(const BusWatch&) = delete;

    // Opens the bus's control interface; from then on only newer log entries are printed.
    // False, with the reason, when there is no such bus.
    bool Attach(std::string& why);

    uint32_t ListInterfaces(const InterfaceClass& cls, std::vector<std::string>& paths) override {
        return m_inner.ListInterfaces(cls, paths);
    }
    // The device's channel, its every request followed by the bus's traffic.
    uint32_t Open(const std::string& path, std::unique_ptr<Channel>& channel) override;

    // Prints the transfers logged since the last call; `requested` is what an interrupt read
    // asked for.
    void PrintNew(uint32_t requested);

private:
    Transport& m_inner;
    Output& m_out;
    HANDLE m_bus = INVALID_HANDLE_VALUE;
    unsigned long m_next = 0;
    bool m_haveBase = false;
    uint64_t m_baseMs = 0;
};

} // namespace talvik::cli
