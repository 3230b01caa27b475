// Restores the packing saved by the last pshpack header (the platform's poppack.h).
#pragma pack(pop)
