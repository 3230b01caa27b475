// Byte packing for the shared driver header in builds without the Windows headers.
#pragma pack(push, 1)
