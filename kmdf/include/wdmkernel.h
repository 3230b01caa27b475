// The NT kernel's interfaces of the platform's wdm.h beyond the base types: kernel core, memory
// descriptors, plug and play and power, the I/O manager.
#pragma once

#include <wdmke.h>
#include <wdmmm.h>
#include <wdmpnp.h>
#include <wdmio.h>
