// The sensor's two-wire serial bus, driven bit by bit through the bridge's general-purpose pins,
// and the sensor register accesses built on it. Not here: the bridge register access itself.
//
// Bus protocol, as these routines carry it out (levels in the order they are set):
// - Every level change is one bridge register write, i.e. one USB control transfer; there is no
//   delay anywhere, the duration of the transfers is the bus timing. A clock change costs one
//   transfer; a data change two, because the data pin is first made an output (a 1 is driven,
//   not left to a pull-up).
// - Start: data 1, clock 1, data 0, clock 0. Stop: clock 0, data 0, clock 1, data 1.
// - Byte out, most significant bit first: per bit clock 0, data, clock 1; then the acknowledge:
//   clock 0, data released, clock 1, data sampled, clock 0 (a 0 is an acknowledge).
// - Byte in: clock 0; per bit clock 0, clock 0, clock 1, data released and sampled; then clock
//   0, the acknowledge level, clock 1, clock 0.
// - Register write: start, address, register, value, stop. Register read: start, address,
//   register, start again without a stop (repeated start), address with the read bit, byte in
//   without acknowledge, stop. Acknowledges are not looked at; a failed read of the pins simply
//   samples a 0.
// - One whole register access holds SensorBusMutex, so GpioOutShadow and the pins are changed by
//   one accessor at a time. The mutex does not order bridge writes of other parts of the driver
//   that touch the same pins (bridge reset, power-down).
// With these costs a register write is 127 transfers and a read 179.
#include "control/register_access.h"

namespace {

enum BUS_LINE { BUS_LINE_CLOCK, BUS_LINE_DATA };

// Masks written back to the two bridge registers before every sensor access: 0x0900 loses bits 0
// and 2, the pin configuration keeps only bits 0, 1 and 3.
const USHORT SENSOR_PORT_CONTROL_MASK = 0xFFFA;
const USHORT PIN_CONFIG_MASK = 0x000B;
// The read form of a bus address has bit 0 set.
const UCHAR BUS_ADDRESS_READ = 0x01;
// The level the single-byte read sends after its byte: no acknowledge.
const UCHAR BUS_NO_ACKNOWLEDGE = 1;

void SetBusLine(PDEVICE_CONTEXT Device, BUS_LINE Line, UCHAR Level) {
  USHORT mask;
  if (Line == BUS_LINE_DATA) {
    WriteBridgeRegister(Device, BRIDGE_GPIO_DIR, (USHORT)(Device->GpioDirShadow | SDA_BIT));
    mask = SDA_BIT;
  } else {
    mask = SCL_BIT;
  }
  if (Level) {
    Device->GpioOutShadow = (USHORT)(Device->GpioOutShadow | mask);
  } else {
    Device->GpioOutShadow = (USHORT)(Device->GpioOutShadow & ~mask);
  }
  WriteBridgeRegister(Device, BRIDGE_GPIO_OUT, Device->GpioOutShadow);
}

void ReleaseDataLine(PDEVICE_CONTEXT Device) {
  WriteBridgeRegister(Device, BRIDGE_GPIO_DIR, (USHORT)(Device->GpioDirShadow & ~SDA_BIT));
}

UCHAR SampleDataLine(PDEVICE_CONTEXT Device, BOOLEAN Release) {
  if (Release) {
    ReleaseDataLine(Device);
  }
  return (ReadBridgeRegister(Device, BRIDGE_GPIO_IN) & SDA_BIT) ? 1 : 0;
}

void BusStart(PDEVICE_CONTEXT Device) {
  SetBusLine(Device, BUS_LINE_DATA, 1);
  SetBusLine(Device, BUS_LINE_CLOCK, 1);
  SetBusLine(Device, BUS_LINE_DATA, 0);
  SetBusLine(Device, BUS_LINE_CLOCK, 0);
}

void BusStop(PDEVICE_CONTEXT Device) {
  SetBusLine(Device, BUS_LINE_CLOCK, 0);
  SetBusLine(Device, BUS_LINE_DATA, 0);
  SetBusLine(Device, BUS_LINE_CLOCK, 1);
  SetBusLine(Device, BUS_LINE_DATA, 1);
}

// 1 when the slave pulled the data line low on the ninth clock.
UCHAR BusReadAck(PDEVICE_CONTEXT Device) {
  SetBusLine(Device, BUS_LINE_CLOCK, 0);
  ReleaseDataLine(Device);
  SetBusLine(Device, BUS_LINE_CLOCK, 1);
  UCHAR level = SampleDataLine(Device, FALSE);
  SetBusLine(Device, BUS_LINE_CLOCK, 0);
  return level == 0 ? 1 : 0;
}

UCHAR BusWriteByte(PDEVICE_CONTEXT Device, UCHAR Byte) {
  for (int bit = 7; bit >= 0; bit--) {
    SetBusLine(Device, BUS_LINE_CLOCK, 0);
    SetBusLine(Device, BUS_LINE_DATA, (UCHAR)((Byte >> bit) & 1));
    SetBusLine(Device, BUS_LINE_CLOCK, 1);
  }
  return BusReadAck(Device);
}

UCHAR BusReadByte(PDEVICE_CONTEXT Device, UCHAR AcknowledgeLevel) {
  UCHAR byte = 0;
  SetBusLine(Device, BUS_LINE_CLOCK, 0);
  for (int bit = 0; bit < 8; bit++) {
    SetBusLine(Device, BUS_LINE_CLOCK, 0);
    SetBusLine(Device, BUS_LINE_CLOCK, 0);
    SetBusLine(Device, BUS_LINE_CLOCK, 1);
    byte = (UCHAR)((byte << 1) | SampleDataLine(Device, TRUE));
  }
  SetBusLine(Device, BUS_LINE_CLOCK, 0);
  SetBusLine(Device, BUS_LINE_DATA, AcknowledgeLevel);
  SetBusLine(Device, BUS_LINE_CLOCK, 1);
  SetBusLine(Device, BUS_LINE_CLOCK, 0);
  return byte;
}

void BusWriteRegister(PDEVICE_CONTEXT Device, UCHAR Register, UCHAR Value) {
  BusStart(Device);
  BusWriteByte(Device, Device->SensorAddress);
  BusWriteByte(Device, Register);
  BusWriteByte(Device, Value);
  BusStop(Device);
}

UCHAR BusReadRegister(PDEVICE_CONTEXT Device, UCHAR Register) {
  UCHAR value = 0;
  BusStart(Device);
  BusWriteByte(Device, Device->SensorAddress);
  BusWriteByte(Device, Register);
  BusStart(Device);
  BusWriteByte(Device, (UCHAR)(Device->SensorAddress | BUS_ADDRESS_READ));
  value = BusReadByte(Device, BUS_NO_ACKNOWLEDGE);
  BusStop(Device);
  return value;
}

// Waits for SensorBusMutex at most SensorBusTimeout. FALSE when it was not obtained.
BOOLEAN AcquireSensorBus(PDEVICE_CONTEXT Device) {
  LARGE_INTEGER timeout = Device->SensorBusTimeout;
  NTSTATUS status =
      KeWaitForSingleObject(&Device->SensorBusMutex, Executive, KernelMode, FALSE, &timeout);
  return status != STATUS_TIMEOUT;
}

// The pin preparation that precedes every sensor access.
void PrepareSensorPins(PDEVICE_CONTEXT Device) {
  USHORT control = ReadBridgeRegister(Device, BRIDGE_SENSOR_PORT_CONTROL);
  WriteBridgeRegister(Device, BRIDGE_SENSOR_PORT_CONTROL,
                      (USHORT)(control & SENSOR_PORT_CONTROL_MASK));
  USHORT pins = ReadBridgeRegister(Device, BRIDGE_PIN_CONFIG);
  WriteBridgeRegister(Device, BRIDGE_PIN_CONFIG, (USHORT)(pins & PIN_CONFIG_MASK));
}

}  // namespace

USHORT WriteSensorRegister(PDEVICE_CONTEXT Device, USHORT Register, USHORT Value) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  if (!AcquireSensorBus(Device)) {
    return 0;
  }
  PrepareSensorPins(Device);
  BusWriteRegister(Device, (UCHAR)(Register & 0xFF), (UCHAR)(Value & 0xFF));
  KeReleaseMutex(&Device->SensorBusMutex, FALSE);
  return 0;
}

USHORT ReadSensorRegister(PDEVICE_CONTEXT Device, USHORT Register) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  if (!AcquireSensorBus(Device)) {
    return 0;
  }
  PrepareSensorPins(Device);
  UCHAR value = BusReadRegister(Device, (UCHAR)(Register & 0xFF));
  KeReleaseMutex(&Device->SensorBusMutex, FALSE);
  return value;
}
