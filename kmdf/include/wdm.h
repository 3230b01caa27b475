// The platform's wdm.h is the part of ntddk.h that function drivers see; here both are one.
#pragma once
#include <ntddk.h>
