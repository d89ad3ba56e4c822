// The camera operations that shape the USB configuration (ConfigurePipes and the pipe roles) and
// the ones the camera leaves empty (NewFrame, StartCapture, SaveState, RestoreState). The packet
// and frame operations are in frame_conversion.cpp.
#include "core/lumocam.h"
#include "datapath/camera_ops.h"

// Pipe order of the video interface: pipe 1 is the isochronous video data pipe of stream 0;
// the others take no part in streaming.
const PIPE_CONFIG PIPE_CONFIG_TABLE[PIPE_CONFIG_TABLE_ENTRIES] = {
    {0x00, PIPE_ROLE_IGNORE},
    {PIPE_STREAM_VIDEO, PIPE_ROLE_DATA},
    {0x00, PIPE_ROLE_IGNORE},
    {0x00, 0x00},
};

// Role of a pipe beyond the table: the camera's interface has three pipes, so an interface with
// more is not the one the table describes, and its extra pipes are kept out of streaming.
static const PIPE_CONFIG ExtraPipeConfig = {0x00, PIPE_ROLE_IGNORE};

/*
 * ConfigurePipes: PASSIVE_LEVEL, during device start-up, before the configuration request is
 * sent. Asks alternate setting 1 and a maximum transfer of DATA_PIPE_MAX_TRANSFER on the data
 * pipe, and gives one PIPE_CONFIG per pipe. STATUS_INSUFFICIENT_RESOURCES without an interface;
 * STATUS_INVALID_PARAMETER when the interface has no data pipe to size or no list is given.
 */
NTSTATUS ConfigurePipes(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device,
                        PUSBD_INTERFACE_INFORMATION Interface,
                        PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, ULONG PipeCount,
                        PPIPE_CONFIG PipeConfig, PUSB_DEVICE_DESCRIPTOR DeviceDescriptor) {
  if (Interface == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Pipes[DATA_PIPE_INDEX] exists only when the request was built with that many pipes.
  if (Interface->NumberOfPipes <= DATA_PIPE_INDEX || (PipeCount > 0 && PipeConfig == NULL)) {
    return STATUS_INVALID_PARAMETER;
  }
  Interface->AlternateSetting = CONFIGURATION_ALTERNATE_SETTING;
  Interface->Pipes[DATA_PIPE_INDEX].MaximumTransferSize = DATA_PIPE_MAX_TRANSFER;
  for (ULONG pipe = 0; pipe < PipeCount; pipe++) {
    PipeConfig[pipe] =
        pipe < PIPE_CONFIG_TABLE_ENTRIES ? PIPE_CONFIG_TABLE[pipe] : ExtraPipeConfig;
  }
  return STATUS_SUCCESS;
}

// The camera keeps no per-frame state of its own.
NTSTATUS NewFrame(PDEVICE_CONTEXT Device, PULONG FrameContext, ULONG StreamNumber,
                  PULONG FrameLength) {
  return STATUS_SUCCESS;
}

// Capture is started by the bandwidth allocation; nothing more to do here.
NTSTATUS StartCapture(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device, ULONG StreamNumber) {
  return STATUS_SUCCESS;
}

// The camera keeps its state in the settings; the engine never asks for these two.
NTSTATUS SaveState(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device) {
  return STATUS_SUCCESS;
}

NTSTATUS RestoreState(PDEVICE_OBJECT BusDeviceObject, PDEVICE_CONTEXT Device) {
  return STATUS_SUCCESS;
}

void FillDataPathCameraOps(PCAMERA_OPS Ops) {
  Ops->Signature = 0;
  Ops->ProcessPacket = ProcessPacket;
  Ops->NewFrame = NewFrame;
  Ops->ProcessRawFrame = ProcessRawFrame;
  Ops->StartCapture = StartCapture;
  Ops->ConfigurePipes = ConfigurePipes;
  Ops->SaveState = SaveState;
  Ops->RestoreState = RestoreState;
}
