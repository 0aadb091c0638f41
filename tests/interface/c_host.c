/* A host application in C, linked against the library the ordinary way (the import
   library on Windows): the public header compiles as C and every one of its 55
   names links. */
#include <stdio.h>

#include "qmxzelti.h"

typedef void (*Export)(void);

/* Taking each export's address makes the linker resolve all of them. */
static const Export kExports[] = {
    (Export)OpenVOD,
    (Export)OpenVODVersion,
    (Export)OpenSpecificVODVersion,
    (Export)EnableInterface,
    (Export)DisableInterface,
    (Export)CurrentValue,
    (Export)PayOut,
    (Export)LastPayStatus,
    (Export)CurrentPaid,
    (Export)AvailableValue,
    (Export)ValueNeeded,
    (Export)NextEvent,
    (Export)CurrentUpdates,
    (Export)IndicatorOn,
    (Export)IndicatorOff,
    (Export)SwitchOpens,
    (Export)SwitchCloses,
    (Export)CheckOperation,
    (Export)SerialNumber,
    (Export)EscrowEnable,
    (Export)EscrowDisable,
    (Export)EscrowThroughput,
    (Export)EscrowAccept,
    (Export)EscrowReturn,
    (Export)ReadAcceptorDetails,
    (Export)WriteAcceptorDetails,
    (Export)ReadDispenserDetails,
    (Export)WriteDispenserDetails,
    (Export)WriteInterfaceBlock,
    (Export)ReadInterfaceBlock,
    (Export)DoRawPort,
    (Export)RawPortResult,
    (Export)CounterIncrement,
    (Export)CounterCaption,
    (Export)CounterRead,
    (Export)ReadCounterCaption,
    (Export)CounterDisplay,
    (Export)MeterStatus,
    (Export)MeterSerialNo,
    (Export)E2PromReset,
    (Export)E2PromWrite,
    (Export)E2PromRead,
    (Export)SetDeviceKey,
    (Export)USBDriverStatus,
    (Export)USBDriverExit,
    (Export)FirmwareVersion,
    (Export)BarcodeEnable,
    (Export)BarcodeDisable,
    (Export)BarcodeInEscrow,
    (Export)BarcodeStacked,
    (Export)BarcodeAccept,
    (Export)BarcodeReturn,
    (Export)BarcodePrint,
    (Export)BarcodePrintStatus,
    (Export)ZELTIConsistencyError};

int main(void) {
  /* OpenVOD asks for a version no unit accepts: 13, with or without a unit. */
  printf("OpenVOD: %d\n", OpenVOD());
  printf("exports: %u\n", (unsigned)(sizeof kExports / sizeof kExports[0]));
  return 0;
}
