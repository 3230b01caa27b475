// The watched framework calls (see UrbWatch.h).
#include "UrbWatch.h"

#include <ntddk.h>
#include <wdf.h>
#include <wdfusb.h>

#include <cstdio>
#include <map>
#include <mutex>

namespace talvik_stress {
namespace {

std::mutex g_mu;
std::map<WDFMEMORY, WDFREQUEST> g_holder; // URB memory object -> request using it
std::map<WDFREQUEST, WDFMEMORY> g_held;   // request -> URB memory object it uses
std::function<void(const std::string&)> g_handler;
unsigned long long g_formats = 0;
PFN_WDFUSBTARGETDEVICEFORMATREQUESTFORURB g_format = nullptr;
PFN_WDFREQUESTCOMPLETEWITHINFORMATION g_complete = nullptr;

NTSTATUS WatchFormatRequestForUrb(PWDF_DRIVER_GLOBALS Globals, WDFUSBDEVICE UsbDevice,
                                  WDFREQUEST Request, WDFMEMORY UrbMemory,
                                  PWDFMEMORY_OFFSET UrbMemoryOffsets);
VOID WatchCompleteWithInformation(PWDF_DRIVER_GLOBALS Globals, WDFREQUEST Request, NTSTATUS Status,
                                  ULONG_PTR Information);

} // namespace

void InstallUrbWatch() {
    WDFFUNC& format = WdfFunctions[WdfUsbTargetDeviceFormatRequestForUrbTableIndex];
    WDFFUNC& complete = WdfFunctions[WdfRequestCompleteWithInformationTableIndex];
    g_format = reinterpret_cast<PFN_WDFUSBTARGETDEVICEFORMATREQUESTFORURB>(format);
    g_complete = reinterpret_cast<PFN_WDFREQUESTCOMPLETEWITHINFORMATION>(complete);
    format = reinterpret_cast<WDFFUNC>(&WatchFormatRequestForUrb);
    complete = reinterpret_cast<WDFFUNC>(&WatchCompleteWithInformation);
}

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

namespace talvik_stress {
namespace {

NTSTATUS WatchFormatRequestForUrb(PWDF_DRIVER_GLOBALS Globals, WDFUSBDEVICE UsbDevice,
                                  WDFREQUEST Request, WDFMEMORY UrbMemory,
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
    return g_format(Globals, UsbDevice, Request, UrbMemory, UrbMemoryOffsets);
}

// The completion routine has read the URB's count before it completes the request, so the
// block is free from here on.
VOID WatchCompleteWithInformation(PWDF_DRIVER_GLOBALS Globals, WDFREQUEST Request, NTSTATUS Status,
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
    g_complete(Globals, Request, Status, Information);
}

} // namespace
} // namespace talvik_stress
