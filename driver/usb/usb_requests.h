// The camera driver's synchronous USB requests: one URB sent and waited for, the camera's vendor
// control requests (the wire format of every bridge register access), the pipe abort, the
// interface selection, and the USB half of device start-up (descriptors, packets per transfer,
// configuration selection, pipe records and their classification).
//
// Not here: the isochronous ring and the bulk and interrupt transfers of the streaming engine,
// which are submitted asynchronously and never pass through SubmitUrbSync.
//
// Every routine takes the device context and returns an NT status unless said otherwise. All of
// them block and run at PASSIVE_LEVEL, except SendVendorRequestAsync, which may be called at
// DISPATCH_LEVEL.
#pragma once

#include <wdm.h>
#include <usbdi.h>

#include "core/lumocam.h"

// A synchronous request that has not completed after 9 s is cancelled (relative, 100 ns).
#define URB_TIMEOUT (-90000000LL)
// This many failed synchronous requests in a row mark the device gone.
#define USB_ERROR_LIMIT 5

// The camera's vendor requests, standard control transfers of type vendor to the device.
#define VENDOR_REQUEST_READ_REGISTER 0x00
#define VENDOR_REQUEST_WRITE_REGISTER 0x01

// Called when a vendor request sent through SendVendorRequestAsync has been done, with its final
// status; below DISPATCH_LEVEL in the caller's thread, otherwise in a delayed worker thread.
typedef void (*PVENDOR_REQUEST_COMPLETION)(PDEVICE_CONTEXT Device, PVOID Context, NTSTATUS Status);

// Sends Urb to BusDeviceObject and waits for it, at most URB_TIMEOUT; then cancels it, waits for
// the bus to give the cancelled IRP back, and reports STATUS_IO_TIMEOUT. Reports success without
// sending anything once DeviceGone is set; refuses with STATUS_DEVICE_DATA_ERROR while InitState
// is 0. Takes UsbCallSemaphore for the whole request and keeps UsbErrorCount and DeviceGone.
NTSTATUS SubmitUrbSync(PDEVICE_CONTEXT Device, PURB Urb);

// One vendor control request to the device. Length (optional) gives the data stage's size and
// receives the bytes transferred on success (never more than it gave); an IN request copies them
// to Buffer. When the request is not sent because the device is gone, an IN request leaves zeros
// in the bytes it reports and Length keeps its value.
NTSTATUS SendVendorRequest(PDEVICE_CONTEXT Device, UCHAR Request, USHORT Value, USHORT Index,
                           PVOID Buffer, PULONG Length, BOOLEAN DirectionIn);

// Below DISPATCH_LEVEL: SendVendorRequest, then Completion (if any), and its status. At
// DISPATCH_LEVEL or above: queued to the delayed work queue, STATUS_PENDING at once, Completion
// later with the final status. Buffer and Length must stay valid until Completion has run.
NTSTATUS SendVendorRequestAsync(PDEVICE_CONTEXT Device, UCHAR Request, USHORT Value,
                                USHORT Index, PVOID Buffer, PULONG Length, BOOLEAN DirectionIn,
                                PVENDOR_REQUEST_COMPLETION Completion, PVOID CompletionContext);

// Aborts every transfer outstanding on the pipe.
NTSTATUS AbortPipe(PDEVICE_CONTEXT Device, USBD_PIPE_HANDLE PipeHandle);

// Selects the interface setting that Interface describes (its InterfaceNumber and
// AlternateSetting); on success the returned pipe information replaces InterfaceInfo and
// Interface (callers usually pass InterfaceInfo itself).
NTSTATUS SelectInterface(PDEVICE_CONTEXT Device, PUSBD_INTERFACE_INFORMATION Interface);

// Selects the configuration described by the descriptor set, shaped by the camera's
// ConfigurePipes; builds PipeTable, InterfaceInfo and ConfigurationHandle and classifies pipes.
NTSTATUS SelectConfiguration(PDEVICE_CONTEXT Device,
                             PUSB_CONFIGURATION_DESCRIPTOR Configuration);

// Finds the data and auxiliary pipes of PipeTable (PipeCount records) from their PIPE_CONFIG
// entries; STATUS_INVALID_PARAMETER when no IN data pipe exists or the roles weigh too much.
NTSTATUS ClassifyPipes(PDEVICE_CONTEXT Device, ULONG PipeCount);

// Reads the configuration descriptor set, decides PacketsPerTransfer, selects the configuration
// and runs the camera's InitializeCamera.
NTSTATUS ConfigureDevice(PDEVICE_CONTEXT Device);

// The USB part of device start-up: semaphores, device descriptor, ConfigureDevice, per-stream
// counters. Called once per start with InitState already 1.
NTSTATUS PrepareUsbDevice(PDEVICE_CONTEXT Device);
