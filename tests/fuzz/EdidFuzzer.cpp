// Fuzzes the EDID lookup of a monitor device id against a registry built from the input, and
// the supported-model test against an independent decoding of the same bytes.
//
// Checked on every input, beyond what the sanitizers catch: every key opened is closed; a lookup
// that finds nothing leaves the caller's buffer alone; one that finds a block copies exactly the
// base block of a stored value that fits the read buffer, padded with zeros, and nothing past it.
#include "FakeSystemApi.h"
#include "FuzzCheck.h"
#include "display/EnumDisplay.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char kEnumDisplay[] = "SYSTEM\\CurrentControlSet\\Enum\\DISPLAY\\";
constexpr BYTE kUntouched = 0xEE;

// The supported-model rule, decoded the other way round: the maker word against "VQT" encoded.
int ExpectedSupported(const BYTE* edid) {
    const unsigned maker = ((edid[8] << 8) | edid[9]) & 0x7FFF;
    const unsigned vqt = (('V' - 0x40) << 10) | (('Q' - 0x40) << 5) | ('T' - 0x40);
    const unsigned product = edid[10] | (edid[11] << 8);
    return maker == vqt &&
           (product == 0x5C20 || product == 0x5C21 || product == 0x5C26 || product == 0x5C27);
}

std::string Prefix(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return "MONITOR";
    case 1:
        return "monitor";
    case 2:
        return "MoNiToR";
    default:
        return in.ConsumeRandomLengthString(12);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    CFakeSystemApi world;
    world.doubleByteCodePage = in.ConsumeBool();

    // Mostly well-formed ids, so that the walk is reached; sometimes raw bytes.
    const std::string model = in.ConsumeRandomLengthString(48);
    const std::string tail = in.ConsumeRandomLengthString(96);
    std::string deviceId;
    if (in.ConsumeIntegralInRange(0, 7) == 0)
        deviceId = in.ConsumeRandomLengthString(200);
    else
        deviceId = Prefix(in) + "\\" + model + "\\" + tail;
    const std::string modelKey = kEnumDisplay + (in.ConsumeBool() ? model : tail);
    const size_t brace = tail.find('{');
    const std::string likelyDriver = brace == std::string::npos ? tail : tail.substr(brace);

    std::vector<std::vector<BYTE>> fitting; // stored EDID values that fit the 256-byte buffer
    const int instances = in.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < instances; ++i) {
        std::string name = in.ConsumeRandomLengthString(24);
        if (name.empty())
            name = "0000";
        const std::string path = modelKey + "\\" + name;
        world.AddRegistryKey(path);
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            break; // no "Driver"
        case 1:
            world.SetRegistryString(path, "Driver", likelyDriver);
            break;
        case 2:
            world.SetRegistryString(path, "Driver", tail);
            break;
        default: {
            // Raw bytes, possibly without a terminator, possibly too long for the buffer.
            const size_t length = in.ConsumeIntegralInRange<size_t>(0, 1100);
            std::vector<BYTE> raw = in.ConsumeBytes<BYTE>(length);
            raw.resize(length, static_cast<BYTE>('x'));
            world.SetRegistryValue(path, "Driver", raw);
        }
        }
        if (in.ConsumeBool()) {
            const size_t length = in.ConsumeIntegralInRange<size_t>(0, 400);
            std::vector<BYTE> edid = in.ConsumeBytes<BYTE>(length);
            edid.resize(length, 0x5A);
            world.SetRegistryValue(path + "\\Device Parameters", "EDID", edid);
            if (edid.size() <= 256) {
                edid.resize(128, 0);
                fitting.push_back(edid);
            }
        }
    }

    BYTE edid[256];
    std::memset(edid, kUntouched, sizeof(edid));
    int found;
    {
        CScopedSystemApi scope(world);
        found = CEnumDisplay::GetMonitorEdid(edid, deviceId.c_str());
    }
    Check(world.OpenHandleCount() == 0, "a registry key left open");
    Check(found == 0 || found == 1, "answer is 0 or 1");
    for (size_t i = found ? 128 : 0; i < sizeof(edid); ++i)
        Check(edid[i] == kUntouched, "bytes written outside the base block");
    if (found) {
        bool stored = false;
        for (const auto& value : fitting)
            stored = stored || std::memcmp(value.data(), edid, 128) == 0;
        Check(stored, "copied block is no stored value");
        Check(CEnumDisplay::IsSupportedEdid(edid) == ExpectedSupported(edid), "decoding");
    }

    std::vector<BYTE> block = in.ConsumeRemainingBytes<BYTE>();
    block.resize(128, 0);
    Check(CEnumDisplay::IsSupportedEdid(block.data()) == ExpectedSupported(block.data()),
          "decoding");
    return 0;
}
