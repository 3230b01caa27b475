// The I/O side's framework calls: queues, requests, memory, I/O targets, USB target.
#pragma once

#define FX_IO_EXPORTS(X)
