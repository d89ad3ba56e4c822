// Bridge register access (one vendor control request per access) and the auxiliary register
// port, which the bridge runs in hardware through its address/data/status block. Not here: the
// two-wire sensor bus, which is built on these bridge accesses.
#include "control/register_access.h"
#include "usb/usb_requests.h"

namespace {

// Bytes of a register value in the data stage of a read: 16 bits, low byte first.
const ULONG REGISTER_VALUE_BYTES = 2;

USHORT BridgeResultFromStatus(NTSTATUS Status) {
  if (NT_SUCCESS(Status)) return BRIDGE_IO_OK;
  if (Status == STATUS_DEVICE_NOT_CONNECTED) return BRIDGE_IO_NOT_CONNECTED;
  return BRIDGE_IO_FAILED;
}

// Writes the auxiliary register number to start a read, then looks at the status: TRUE with
// *Value when the port reported no error. Spends the attempt (FALSE) while the port is busy.
BOOLEAN TryAuxRead(PDEVICE_CONTEXT Device, USHORT Register, PUSHORT Value) {
  if (ReadBridgeRegister(Device, BRIDGE_AUX_STATUS) & AUX_STATUS_BUSY) {
    return FALSE;
  }
  WriteBridgeRegister(Device, BRIDGE_AUX_READ_ADDR, Register);
  if (ReadBridgeRegister(Device, BRIDGE_AUX_STATUS) & AUX_STATUS_ERROR) {
    return FALSE;
  }
  *Value = ReadBridgeRegister(Device, BRIDGE_AUX_READ_DATA);
  return TRUE;
}

}  // namespace

USHORT WriteBridgeRegister(PDEVICE_CONTEXT Device, USHORT Register, USHORT Value) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  NTSTATUS status = SendVendorRequestAsync(Device, VENDOR_REQUEST_WRITE_REGISTER, Value, Register,
                                           NULL, NULL, FALSE, NULL, NULL);
  return BridgeResultFromStatus(status);
}

USHORT ReadBridgeRegister(PDEVICE_CONTEXT Device, USHORT Register) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  UCHAR data[REGISTER_VALUE_BYTES] = {0, 0};
  ULONG length = sizeof(data);
  NTSTATUS status = SendVendorRequestAsync(Device, VENDOR_REQUEST_READ_REGISTER, 0, Register, data,
                                           &length, TRUE, NULL, NULL);
  if (!NT_SUCCESS(status)) {
    return BridgeResultFromStatus(status);
  }
  // A short answer leaves the missing byte at zero.
  return (USHORT)(data[0] | (data[1] << 8));
}

void WaitAuxReady(PDEVICE_CONTEXT Device) {
  for (ULONG i = 0; i < AUX_READY_READS_MAX; i++) {
    if (ReadBridgeRegister(Device, BRIDGE_AUX_STATUS) & AUX_STATUS_READY) {
      return;
    }
  }
}

void WriteAuxRegisterVerified(PDEVICE_CONTEXT Device, USHORT Register, USHORT Value) {
  WriteBridgeRegister(Device, BRIDGE_AUX_WRITE_ADDR, Register);
  WriteBridgeRegister(Device, BRIDGE_AUX_WRITE_DATA, Value);
  for (ULONG attempt = 0; attempt < AUX_ATTEMPTS_MAX; attempt++) {
    USHORT readBack;
    if (TryAuxRead(Device, Register, &readBack) && readBack == Value) {
      return;
    }
  }
}

USHORT ReadAuxRegister(PDEVICE_CONTEXT Device, USHORT Register) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  WaitAuxReady(Device);
  for (ULONG attempt = 0; attempt < AUX_ATTEMPTS_MAX; attempt++) {
    USHORT value;
    if (TryAuxRead(Device, Register, &value)) {
      return value;
    }
  }
  return AUX_READ_FAILED;
}

void WriteAuxRegister(PDEVICE_CONTEXT Device, USHORT Register, USHORT Value) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  WaitAuxReady(Device);
  WriteAuxRegisterVerified(Device, Register, Value);
}
