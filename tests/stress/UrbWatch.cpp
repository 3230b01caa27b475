// The wrapped framework calls (see UrbWatch.h). Only the driver's references are wrapped, since
// the layer defines both calls itself.
#include "UrbWatch.h"

#include <ntddk.h>
#include <wdf.h>
#include <wdfusb.h>

#include <cstdio>
#include <map>
#include <mutex>

extern "C" NTSTATUS
__real_WdfUsbTargetDeviceFormatRequestForUrb(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                             WDFMEMORY UrbMemory,
                                             PWDFMEMORY_OFFSET UrbMemoryOffsets);
extern "C" VOID __real_WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status,
                                                         ULONG_PTR Information);

namespace talvik_stress {
namespace {

std::mutex g_mu;
std::map<WDFMEMORY, WDFREQUEST> g_holder; // URB memory object -> request using it
std::map<WDFREQUEST, WDFMEMORY> g_held;   // request -> URB memory object it uses
std::function<void(const std::string&)> g_handler;
unsigned long long g_formats = 0;

} // namespace

void SetUrbWatchHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_handler = std::move(handler);
}

unsigned long long UrbFormats() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_formats;
}

unsigned long UrbBlocksHeld() {
    std::lock_guard<std::mutex> lk(g_mu);
    return static_cast<unsigned long>(g_holder.size());
}

} // namespace talvik_stress

using namespace talvik_stress;

extern "C" NTSTATUS
__wrap_WdfUsbTargetDeviceFormatRequestForUrb(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                             WDFMEMORY UrbMemory,
                                             PWDFMEMORY_OFFSET UrbMemoryOffsets) {
    std::function<void(const std::string&)> report;
    char text[160] = "";
    {
        std::lock_guard<std::mutex> lk(g_mu);
        ++g_formats;
        auto it = g_holder.find(UrbMemory);
        if (it != g_holder.end() && it->second != Request) {
            std::snprintf(text, sizeof text,
                          "URB block %p formatted for request %p while request %p still uses it",
                          static_cast<void*>(UrbMemory), static_cast<void*>(Request),
                          static_cast<void*>(it->second));
            report = g_handler;
            g_held.erase(it->second);
        }
        g_holder[UrbMemory] = Request;
        g_held[Request] = UrbMemory;
    }
    if (report)
        report(text);
    return __real_WdfUsbTargetDeviceFormatRequestForUrb(UsbDevice, Request, UrbMemory,
                                                        UrbMemoryOffsets);
}

// The completion routine has read the URB's count before it completes the request, so the
// block is free from here on.
extern "C" VOID __wrap_WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status,
                                                         ULONG_PTR Information) {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        auto it = g_held.find(Request);
        if (it != g_held.end()) {
            auto holder = g_holder.find(it->second);
            if (holder != g_holder.end() && holder->second == Request)
                g_holder.erase(holder);
            g_held.erase(it);
        }
    }
    __real_WdfRequestCompleteWithInformation(Request, Status, Information);
}
