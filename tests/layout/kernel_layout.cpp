// Sizes of the kernel records that drivers embed in their own records, as on x86.
#include <wdm.h>

#if defined(__i386__)
static_assert(sizeof(LIST_ENTRY) == 8);
static_assert(sizeof(KSPIN_LOCK) == 4);
static_assert(sizeof(KEVENT) == 16);
static_assert(sizeof(KSEMAPHORE) == 20);
static_assert(sizeof(KMUTEX) == 32);
static_assert(sizeof(KDPC) == 32);
static_assert(sizeof(KTIMER) == 40);
static_assert(offsetof(KTIMER, DueTime) == 16);
static_assert(sizeof(WORK_QUEUE_ITEM) == 16);
static_assert(sizeof(IO_STATUS_BLOCK) == 8);
static_assert(sizeof(LARGE_INTEGER) == 8 && alignof(LARGE_INTEGER) == 8);
static_assert(sizeof(UNICODE_STRING) == 8);
static_assert(sizeof(OBJECT_ATTRIBUTES) == 24);
static_assert(sizeof(KFLOATING_SAVE) == 32);
static_assert(sizeof(IO_STACK_LOCATION) == 36);
#endif
static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4 && sizeof(LONGLONG) == 8);
static_assert(alignof(LONGLONG) == 8);
