// Register access of the camera: the bridge's 16-bit registers (one vendor control request per
// access), the sensor's 8-bit registers behind the two-wire bus that the driver runs bit by bit
// on two general-purpose pins of the bridge, and the 16-bit registers of the auxiliary port.
// Primitives only: which registers are written when is the business of bring-up, the image
// controls, the picture options and the vendor property set.
//
// All routines run at PASSIVE_LEVEL and block for the USB transfers they make.
#pragma once

#include <wdm.h>

#include "core/lumocam.h"

// Bridge registers of the auxiliary port, the pins of the two-wire bus and the two registers
// masked before every sensor access.
#define BRIDGE_AUX_STATUS 0x0510
#define BRIDGE_AUX_WRITE_ADDR 0x0520
#define BRIDGE_AUX_WRITE_DATA 0x0522
#define BRIDGE_AUX_READ_ADDR 0x0530
#define BRIDGE_AUX_READ_DATA 0x0532
#define BRIDGE_PIN_CONFIG 0x0700
#define BRIDGE_GPIO_DIR 0x0712
#define BRIDGE_GPIO_OUT 0x0722
#define BRIDGE_GPIO_IN 0x0732
#define BRIDGE_SENSOR_PORT_CONTROL 0x0900

// Bits of BRIDGE_AUX_STATUS.
#define AUX_STATUS_BUSY 0x0001
#define AUX_STATUS_ERROR 0x0002
#define AUX_STATUS_READY 0x0004

// The two pins of the two-wire bus in BRIDGE_GPIO_DIR, BRIDGE_GPIO_OUT and BRIDGE_GPIO_IN.
#define SCL_BIT 0x20
#define SDA_BIT 0x40

// Results of the bridge primitives besides a register value: a write that went through, a
// transfer that failed, a transfer that failed because the camera is not connected.
#define BRIDGE_IO_OK 0x0000
#define BRIDGE_IO_FAILED 0xFF80
#define BRIDGE_IO_NOT_CONNECTED 0xFF84

// The value ReadAuxRegister gives when the port stayed busy or in error for every attempt. No
// auxiliary register of the camera holds it in normal use, so a tool that reads it can tell.
#define AUX_READ_FAILED 0xFFFF

// 0, or BRIDGE_IO_FAILED / BRIDGE_IO_NOT_CONNECTED.
USHORT WriteBridgeRegister(PDEVICE_CONTEXT Device, USHORT Register, USHORT Value);
// The register's value, or one of the two error codes (a caller cannot tell them from a register
// that holds them). Meaningless, but 0, once the device is gone.
USHORT ReadBridgeRegister(PDEVICE_CONTEXT Device, USHORT Register);

// One whole sensor register access under SensorBusMutex. Waits at most SensorBusTimeout for the
// mutex; when it is not obtained the write does nothing and the read returns 0, without any
// bus traffic. Only the low 8 bits of Register and Value reach the bus. The write returns 0.
USHORT WriteSensorRegister(PDEVICE_CONTEXT Device, USHORT Register, USHORT Value);
USHORT ReadSensorRegister(PDEVICE_CONTEXT Device, USHORT Register);

// The auxiliary port, with bounded waits on its status (10001 reads for ready, then 1000
// attempts). A read whose attempts all fail returns AUX_READ_FAILED; a write whose verification
// never succeeds ends silently.
USHORT ReadAuxRegister(PDEVICE_CONTEXT Device, USHORT Register);
void WriteAuxRegister(PDEVICE_CONTEXT Device, USHORT Register, USHORT Value);

// The auxiliary port's steps on their own, for requests that write several registers after one
// wait for ready: the wait (at most AUX_READY_READS_MAX reads of the status), and the write with
// its verification (at most AUX_ATTEMPTS_MAX attempts).
#define AUX_READY_READS_MAX 10001
#define AUX_ATTEMPTS_MAX 1000
void WaitAuxReady(PDEVICE_CONTEXT Device);
void WriteAuxRegisterVerified(PDEVICE_CONTEXT Device, USHORT Register, USHORT Value);
