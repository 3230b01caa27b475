// Power IRPs travel like any other IRP (Vista and later, and Wine): PoCallDriver is IoCallDriver
// for IRP_MJ_POWER, and PoStartNextPowerIrp has nothing left to release.
#include "Internal.h"

using namespace ntsim;
using namespace ntsim::detail;

extern "C" NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetNextIrpStackLocation(irp)->MajorFunction != IRP_MJ_POWER)
        Violate(ViolationKind::Irp, "PoCallDriver with an IRP that is not IRP_MJ_POWER");
    return IoCallDriver(device, irp);
}

extern "C" VOID NTAPI PoStartNextPowerIrp(PIRP irp) {
    (void)irp;
}
