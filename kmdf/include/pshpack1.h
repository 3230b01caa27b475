// Structures up to the matching poppack.h are packed to 1 byte (the platform's pshpack1.h).
#pragma pack(push, 1)
