/* The floor driver's contract with user mode: its device interface class and its two controls.
 * Shared by the driver and the programs that talk to it, so kept free of kernel-only headers. */
#ifndef FLOOR_IOCTL_H
#define FLOOR_IOCTL_H

/* Same values as CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS). */
#define FLOOR_CTL_CODE(function) ((0x00000022u << 16) | ((function) << 2))

/* Does nothing and returns no data: the cheapest round trip through the I/O manager. */
#define IOCTL_FLOOR_NULL FLOOR_CTL_CODE(0x800u)
/* Returns FLOOR_MAGIC (4 bytes), so a caller knows it reached this driver. */
#define IOCTL_FLOOR_IDENTIFY FLOOR_CTL_CODE(0x801u)
#define FLOOR_MAGIC 0x524f4c46u /* "FLOR" */

/* {6c3c1d0e-4f58-4b8e-9d1a-2f7b5e0c9a41} */
#define FLOOR_INTERFACE_GUID_INIT                                                                  \
    {                                                                                              \
        0x6c3c1d0e, 0x4f58, 0x4b8e, {                                                              \
            0x9d, 0x1a, 0x2f, 0x7b, 0x5e, 0x0c, 0x9a, 0x41                                         \
        }                                                                                          \
    }

#endif
