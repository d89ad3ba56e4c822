// Sizes of the camera driver's records that the stream class allocates or that other drivers
// read, as on x86.
#include "../../driver/core/lumocam.h"

#if defined(__i386__)
static_assert(sizeof(SRB_CONTEXT) == 64);
static_assert(sizeof(DEVICE_CONTEXT) <= 2500);
static_assert(sizeof(STREAM_CONTEXT) <= 1456);
// The registered extension sizes are the target's.
static_assert(DEVICE_EXTENSION_SIZE == 2500);
static_assert(STREAM_EXTENSION_SIZE == 1456);
static_assert(SRB_EXTENSION_SIZE == 64);
static_assert(sizeof(CAMERA_PIPE_INTERFACE) == 36);
static_assert(offsetof(CAMERA_PIPE_INTERFACE, ReadInterruptPipe) == sizeof(INTERFACE));
static_assert(sizeof(CAMERA_OPS) == 13 * 4);
static_assert(sizeof(PIPE_CONFIG) == 2);
#endif

// In every build: the records embed the kernel's objects on their natural boundaries, and the
// registered sizes are never smaller than the records.
static_assert(offsetof(STREAM_CONTEXT, FrameInfo) % 8 == 0);
static_assert(offsetof(STREAM_CONTEXT, WatchdogTimer) % 8 == 0);
static_assert(offsetof(TRANSFER_RECORD, ResubmitTimer) % 8 == 0);
static_assert(DEVICE_EXTENSION_SIZE >= sizeof(DEVICE_CONTEXT));
static_assert(STREAM_EXTENSION_SIZE >= sizeof(STREAM_CONTEXT));
static_assert(SRB_EXTENSION_SIZE >= sizeof(SRB_CONTEXT));
