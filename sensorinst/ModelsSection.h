// Which models section of an INF applies to this system: the manufacturer line names a section
// and the target systems it has decorated copies for (NTamd64, NTamd64.6.1, NTx86.5.1.1, ...).
#pragma once

#include <string>
#include <vector>

namespace sensorinst {

struct TargetSystem {
    std::wstring architecture; // as INF decorations spell it: x86, amd64, arm64
    unsigned long major = 0;
    unsigned long minor = 0;
    unsigned long build = 0;
    unsigned long productType = 1; // 1 workstation, 2 domain controller, 3 server
    unsigned long suiteMask = 0;
};

// `fields` is one manufacturer line's value: the section name, then the decorations. Returns the
// name of the section to read, or an empty string when none applies. Of the decorations that
// match, the one for the highest system version wins (the more specific one on a tie). Without a
// matching decoration only x86 falls back to the undecorated section, as the platform does.
std::wstring SelectModelsSection(const std::vector<std::wstring>& fields,
                                 const TargetSystem& target);

} // namespace sensorinst
