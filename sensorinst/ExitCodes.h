// Exit codes of SensorInst.exe: the platform's ERROR_* values, so that a caller can pass them to
// FormatMessage. Chosen so that their low bytes differ from 0 and from each other as well, since a
// Unix shell (a Wine test bed, a CI script) sees only the low byte.
#pragma once

namespace sensorinst {

enum ExitCode : unsigned long {
    kExitSuccess = 0,
    kExitFileNotFound = 2,      // ERROR_FILE_NOT_FOUND: no such file, or it is a directory
    kExitBadFormat = 11,        // ERROR_BAD_FORMAT: the file is not an INF file
    kExitInvalidParameter = 87, // ERROR_INVALID_PARAMETER: command line not understood
    kExitNotFound = 1168,       // ERROR_NOT_FOUND: no models section for this architecture, or
                                // (uninstall) the package is not in the store
    kExitRebootRequired = 3010, // ERROR_SUCCESS_REBOOT_REQUIRED: done, takes effect on restart
};

} // namespace sensorinst
