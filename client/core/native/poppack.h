// Ends the packing of pshpack1.h.
#pragma pack(pop)
