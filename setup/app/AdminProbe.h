// Whether the user running the setup is an administrator.
#pragma once

#include <windows.h>

// Non-zero when the user belongs to the Administrators group. The program asks for elevation in
// its manifest, so under user account control this sees the elevated token.
BOOL UserIsAdministrator();
