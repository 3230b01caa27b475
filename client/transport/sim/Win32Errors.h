// Kernel statuses as the system error codes DeviceIoControl and CreateFile report for them.
#pragma once

#include <cstdint>

namespace talvik {

uint32_t Win32ErrorOf(int32_t ntStatus);

} // namespace talvik
