// Kernel services as the Windows 2000/XP kernel presents them to a WDM driver: basic types,
// status codes, lists, IRQL, spin locks, dispatcher objects, timers and DPCs, work items, IRPs,
// device and driver objects, pool, registry, files and floating point state.
//
// These are our own declarations of the platform's names, shaped as the platform shapes them
// (x86 layouts for every record a driver embeds). Only what our kernel code uses is here. The
// implementation behind them is the simulation in platform/kernel; kernel code includes this
// header and nothing of the implementation.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define LUMO_EXTERN_C extern "C"
#else
#define LUMO_EXTERN_C
#endif

#define NTAPI
#define NTKERNELAPI LUMO_EXTERN_C
#define NTSYSAPI LUMO_EXTERN_C
#define FASTCALL
#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(p) ((void)(p))

// ---------------------------------------------------------------------------------------------
// Basic types. 64-bit values sit on 8-byte boundaries inside records, as the platform lays
// them out; gcc's -m32 would otherwise align them on 4.
typedef void VOID, *PVOID;
typedef char CHAR, *PCHAR;
typedef unsigned char UCHAR, *PUCHAR;
typedef int16_t SHORT, CSHORT, *PSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int64_t LONGLONG __attribute__((aligned(8)));
typedef uint64_t ULONGLONG __attribute__((aligned(8)));
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef UCHAR BOOLEAN, *PBOOLEAN;
typedef LONG NTSTATUS;
typedef uintptr_t ULONG_PTR, *PULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR SIZE_T, *PSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const WCHAR* PCWSTR;
typedef const char* PCSTR;
typedef CHAR* PSTR;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK;
typedef UCHAR KIRQL, *PKIRQL;
typedef signed char CCHAR;
typedef CCHAR KPROCESSOR_MODE;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

// ---------------------------------------------------------------------------------------------
// Status codes. The top two bits give the class: 0 success, 1 informational, 2 warning,
// 3 error. NT_SUCCESS holds for the first two.
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_NO_SUCH_FILE ((NTSTATUS)0xC000000FL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103L)
#define STATUS_MUTANT_NOT_OWNED ((NTSTATUS)0xC0000046L)
#define STATUS_SEMAPHORE_LIMIT_EXCEEDED ((NTSTATUS)0xC0000047L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_DATA_ERROR ((NTSTATUS)0xC000009CL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BAL)
#define STATUS_INTERNAL_ERROR ((NTSTATUS)0xC00000E5L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_FILE_CLOSED ((NTSTATUS)0xC0000128L)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)
#define STATUS_NO_DATA_DETECTED ((NTSTATUS)0x80000022L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_DEVICE_POWER_FAILURE ((NTSTATUS)0xC000028EL)

// ---------------------------------------------------------------------------------------------
// Doubly and singly linked lists.
typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
  struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

#define CONTAINING_RECORD(address, type, field) \
  ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))

static inline void InitializeListHead(PLIST_ENTRY ListHead) {
  ListHead->Flink = ListHead->Blink = ListHead;
}
static inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
  return (BOOLEAN)(ListHead->Flink == ListHead);
}
static inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
  PLIST_ENTRY Flink = Entry->Flink;
  PLIST_ENTRY Blink = Entry->Blink;
  Blink->Flink = Flink;
  Flink->Blink = Blink;
  return (BOOLEAN)(Flink == Blink);
}
static inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Flink;
  RemoveEntryList(Entry);
  return Entry;
}
static inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
  PLIST_ENTRY Entry = ListHead->Blink;
  RemoveEntryList(Entry);
  return Entry;
}
static inline void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY Blink = ListHead->Blink;
  Entry->Flink = ListHead;
  Entry->Blink = Blink;
  Blink->Flink = Entry;
  ListHead->Blink = Entry;
}
static inline void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY Flink = ListHead->Flink;
  Entry->Flink = Flink;
  Entry->Blink = ListHead;
  Flink->Blink = Entry;
  ListHead->Flink = Entry;
}
static inline void PushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY Entry) {
  Entry->Next = ListHead->Next;
  ListHead->Next = Entry;
}
static inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY ListHead) {
  PSINGLE_LIST_ENTRY First = ListHead->Next;
  if (First != NULL) ListHead->Next = First->Next;
  return First;
}

// ---------------------------------------------------------------------------------------------
// Memory helpers.
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) __builtin_memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) __builtin_memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!__builtin_memcmp((Destination), (Source), (Length)))
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---------------------------------------------------------------------------------------------
// IRQL.
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(void);
NTKERNELAPI void NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTKERNELAPI void NTAPI KeLowerIrql(KIRQL NewIrql);
NTKERNELAPI KIRQL NTAPI KeRaiseIrqlToDpcLevel(void);

// ---------------------------------------------------------------------------------------------
// Spin locks.
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

NTKERNELAPI void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTKERNELAPI void NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
NTKERNELAPI void NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

// ---------------------------------------------------------------------------------------------
// Interlocked operations. Each is a platform call: the simulation may switch threads inside it.
NTKERNELAPI LONG FASTCALL InterlockedIncrement(LONG volatile* Addend);
NTKERNELAPI LONG FASTCALL InterlockedDecrement(LONG volatile* Addend);
NTKERNELAPI LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value);
NTKERNELAPI LONG FASTCALL InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
NTKERNELAPI LONG FASTCALL InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                     LONG Comparand);
NTKERNELAPI PVOID FASTCALL InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
NTKERNELAPI PVOID FASTCALL InterlockedCompareExchangePointer(PVOID volatile* Destination,
                                                             PVOID Exchange, PVOID Comparand);

NTKERNELAPI PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead,
                                                          PLIST_ENTRY ListEntry,
                                                          PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead,
                                                          PLIST_ENTRY ListEntry,
                                                          PKSPIN_LOCK Lock);
NTKERNELAPI PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
NTKERNELAPI PSINGLE_LIST_ENTRY NTAPI ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                                PSINGLE_LIST_ENTRY ListEntry,
                                                                PKSPIN_LOCK Lock);
NTKERNELAPI PSINGLE_LIST_ENTRY NTAPI ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                               PKSPIN_LOCK Lock);

// ---------------------------------------------------------------------------------------------
// Dispatcher objects. The records have the platform's x86 sizes; the simulation keeps its own
// bookkeeping (waiters, owners, timer entries) outside them, keyed by their address.
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
typedef enum _WAIT_TYPE { WaitAll, WaitAny } WAIT_TYPE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

struct _KTHREAD;
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD *PETHREAD;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  PKTHREAD OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

struct _KDPC;
typedef void(NTAPI* PKDEFERRED_ROUTINE)(struct _KDPC* Dpc, PVOID DeferredContext,
                                        PVOID SystemArgument1, PVOID SystemArgument2);

typedef struct _KDPC {
  CSHORT Type;
  UCHAR Number;
  UCHAR Importance;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PULONG_PTR Lock;
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;
  PKDPC Dpc;
  LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

NTKERNELAPI void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait);
NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
NTKERNELAPI void NTAPI KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);

NTKERNELAPI void NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
NTKERNELAPI LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, LONG Increment,
                                          LONG Adjustment, BOOLEAN Wait);
NTKERNELAPI LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

NTKERNELAPI void NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
NTKERNELAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTKERNELAPI LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex);

// Waits. A negative Timeout is relative, a positive one an absolute system time, both in
// 100-ns units; NULL waits for ever. STATUS_TIMEOUT when the time ran out.
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout);
#define KeWaitForMutexObject KeWaitForSingleObject
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval);

NTKERNELAPI void NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                       PVOID DeferredContext);
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1,
                                           PVOID SystemArgument2);
NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);

NTKERNELAPI void NTAPI KeInitializeTimer(PKTIMER Timer);
NTKERNELAPI void NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
NTKERNELAPI BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period,
                                       PKDPC Dpc);
NTKERNELAPI BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);

// ---------------------------------------------------------------------------------------------
// Time. System time counts 100 ns since 1601-01-01; the tick count advances every
// KeQueryTimeIncrement() units.
NTKERNELAPI void NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI void NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount);
NTKERNELAPI ULONG NTAPI KeQueryTimeIncrement(void);
NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(void);
NTKERNELAPI void NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);

// ---------------------------------------------------------------------------------------------
// Floating point. Kernel code uses the FPU only between a save and a restore.
typedef struct _KFLOATING_SAVE {
  ULONG ControlWord;
  ULONG StatusWord;
  ULONG ErrorOffset;
  ULONG ErrorSelector;
  ULONG DataOffset;
  ULONG DataSelector;
  ULONG Cr0NpxState;
  ULONG Spare1;
} KFLOATING_SAVE, *PKFLOATING_SAVE;

NTKERNELAPI NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave);
NTKERNELAPI NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave);

// ---------------------------------------------------------------------------------------------
// Pool.
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolMustSucceed = 2 } POOL_TYPE;

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
NTKERNELAPI void NTAPI ExFreePool(PVOID P);
NTKERNELAPI void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---------------------------------------------------------------------------------------------
// System work items.
typedef enum _WORK_QUEUE_TYPE {
  CriticalWorkQueue,
  DelayedWorkQueue,
  HyperCriticalWorkQueue,
  MaximumWorkQueue
} WORK_QUEUE_TYPE;

typedef void(NTAPI* PWORKER_THREAD_ROUTINE)(PVOID Parameter);

typedef struct _WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;

static inline void ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine,
                                        PVOID Context) {
  Item->WorkerRoutine = Routine;
  Item->Parameter = Context;
  Item->List.Flink = NULL;
}
NTKERNELAPI void NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

// ---------------------------------------------------------------------------------------------
// Strings and object attributes.
typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminating zero
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

NTSYSAPI void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);

#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// ---------------------------------------------------------------------------------------------
// Access rights, file and registry calls.
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_ALL 0x10000000L

#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_NON_DIRECTORY_FILE 0x00000040
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_SUPERSEDED 0x00000000
#define FILE_OPENED 0x00000001
#define FILE_CREATED 0x00000002
#define FILE_OVERWRITTEN 0x00000003
#define FILE_USE_FILE_POINTER_POSITION 0xfffffffe

NTSYSAPI NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock,
                                     PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                     ULONG ShareAccess, ULONG CreateDisposition,
                                     ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTSYSAPI NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine,
                                   PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                   PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                   PULONG Key);
NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

typedef enum _KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation,
  KeyValueFullInformation,
  KeyValuePartialInformation
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;  // from the start of this record
  ULONG DataLength;
  ULONG NameLength;  // bytes
  WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

NTSYSAPI NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                    PUNICODE_STRING Class, ULONG CreateOptions,
                                    PULONG Disposition);
NTSYSAPI NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length,
                                        PULONG ResultLength);
NTSYSAPI NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                      ULONG TitleIndex, ULONG Type, PVOID Data, ULONG DataSize);

// ---------------------------------------------------------------------------------------------
// Devices, drivers and IRPs.
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_SURPRISE_REMOVAL 0x17
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define IO_NO_INCREMENT 0
#define IO_VIDEO_INCREMENT 1
#define IO_SOUND_INCREMENT 8

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define DO_BUFFERED_IO 0x00000004
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_KS 0x0000002f
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _MDL;
struct _FILE_OBJECT;

typedef NTSTATUS(NTAPI* PIO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT* DeviceObject,
                                                struct _IRP* Irp, PVOID Context);
typedef void(NTAPI* PDRIVER_CANCEL)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef NTSTATUS(NTAPI* PDRIVER_DISPATCH)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef NTSTATUS(NTAPI* PDRIVER_ADD_DEVICE)(struct _DRIVER_OBJECT* DriverObject,
                                            struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef void(NTAPI* PDRIVER_UNLOAD)(struct _DRIVER_OBJECT* DriverObject);
typedef void(NTAPI* PDRIVER_STARTIO)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);

typedef struct _MDL {
  struct _MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  PVOID Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;

typedef struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  struct _DRIVER_OBJECT* DriverObject;
  struct _DEVICE_OBJECT* NextDevice;
  struct _DEVICE_OBJECT* AttachedDevice;
  struct _IRP* CurrentIrp;
  PVOID Timer;
  ULONG Flags;
  ULONG Characteristics;
  PVOID Vpb;
  PVOID DeviceExtension;
  ULONG DeviceType;
  CCHAR StackSize;
  ULONG AlignmentRequirement;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_EXTENSION {
  struct _DRIVER_OBJECT* DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;
  ULONG Flags;
  PVOID DriverStart;
  ULONG DriverSize;
  PVOID DriverSection;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PDRIVER_STARTIO DriverStartIo;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0,
  PowerDeviceD1,
  PowerDeviceD2,
  PowerDeviceD3,
  PowerDeviceMaximum
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef enum _SYSTEM_POWER_STATE {
  PowerSystemUnspecified = 0,
  PowerSystemWorking,
  PowerSystemSleeping1,
  PowerSystemSleeping2,
  PowerSystemSleeping3,
  PowerSystemHibernate,
  PowerSystemShutdown,
  PowerSystemMaximum
} SYSTEM_POWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState, DevicePowerState } POWER_STATE_TYPE;
typedef union _POWER_STATE {
  SYSTEM_POWER_STATE SystemState;
  DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef struct _INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  void(NTAPI* InterfaceReference)(PVOID Context);
  void(NTAPI* InterfaceDereference)(PVOID Context);
} INTERFACE, *PINTERFACE;

// The platform packs the stack location on 4 bytes: 36 bytes on x86.
#pragma pack(push, 4)
typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      ULONG Length;
      ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Write;
    struct {
      ULONG OutputBufferLength;
      ULONG InputBufferLength;
      ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      const GUID* InterfaceType;
      USHORT Size;
      USHORT Version;
      PINTERFACE Interface;
      PVOID InterfaceSpecificData;
    } QueryInterface;
    struct {
      ULONG SystemContext;
      POWER_STATE_TYPE Type;
      POWER_STATE State;
      ULONG ShutdownType;
    } Power;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  struct _FILE_OBJECT* FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
#pragma pack(pop)

typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    struct _IRP* MasterIrp;
    PVOID SystemBuffer;
  } AssociatedIrp;
  LIST_ENTRY ThreadListEntry;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;
  BOOLEAN Cancel;
  KIRQL CancelIrql;
  CCHAR ApcEnvironment;
  UCHAR AllocationFlags;
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      union {
        LIST_ENTRY DeviceQueueEntry;
        PVOID DriverContext[4];
      };
      PETHREAD Thread;
      PCHAR AuxiliaryBuffer;
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
      struct _FILE_OBJECT* OriginalFileObject;
    } Overlay;
  } Tail;
  // The stack locations follow the record, as on the platform (IoSizeOfIrp).
} IRP, *PIRP;

#define IoSizeOfIrp(StackSize) ((USHORT)(sizeof(IRP) + ((StackSize) * sizeof(IO_STACK_LOCATION))))

static inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation;
}
static inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
  return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
static inline void IoSkipCurrentIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
}
static inline void IoSetNextIrpStackLocation(PIRP Irp) {
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
}
static inline void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  __builtin_memcpy(next, current, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}
static inline void IoMarkIrpPending(PIRP Irp) {
  IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}
static inline void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                          PVOID Context, BOOLEAN InvokeOnSuccess,
                                          BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->CompletionRoutine = CompletionRoutine;
  next->Context = Context;
  next->Control = 0;
  if (InvokeOnSuccess) next->Control = SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

NTKERNELAPI PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
NTKERNELAPI void NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
NTKERNELAPI void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus);
NTKERNELAPI void NTAPI IoFreeIrp(PIRP Irp);
NTKERNELAPI PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode,
                                                     PDEVICE_OBJECT DeviceObject,
                                                     PVOID InputBuffer, ULONG InputBufferLength,
                                                     PVOID OutputBuffer, ULONG OutputBufferLength,
                                                     BOOLEAN InternalDeviceIoControl,
                                                     PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);
NTKERNELAPI PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction,
                                                    PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                    ULONG Length, PLARGE_INTEGER StartingOffset,
                                                    PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);
NTKERNELAPI NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTKERNELAPI void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCallDriver(a, b) IofCallDriver(a, b)
#define IoCompleteRequest(a, b) IofCompleteRequest(a, b)
NTKERNELAPI BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
NTKERNELAPI PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
NTKERNELAPI void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
NTKERNELAPI void NTAPI IoReleaseCancelSpinLock(KIRQL Irql);

NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject,
                                          ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                          ULONG DeviceType, ULONG DeviceCharacteristics,
                                          BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject);
NTKERNELAPI void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                             PDEVICE_OBJECT TargetDevice);
NTKERNELAPI void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);
NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
#define ObDereferenceObject(o) ObfDereferenceObject(o)
#define ObReferenceObject(o) ObfReferenceObject(o)
NTKERNELAPI BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4
NTKERNELAPI NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject,
                                                   ULONG DevInstKeyType,
                                                   ACCESS_MASK DesiredAccess,
                                                   PHANDLE DevInstRegKey);

NTKERNELAPI void NTAPI PoStartNextPowerIrp(PIRP Irp);
NTKERNELAPI NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The driver's entry point, which the platform calls once when it loads the driver.
typedef NTSTATUS(NTAPI* PDRIVER_INITIALIZE)(PDRIVER_OBJECT DriverObject,
                                            PUNICODE_STRING RegistryPath);

// Assertions stay on in every build of ours; the simulation reports the place and stops.
NTSYSAPI void NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber,
                              PCHAR Message);
#define ASSERT(e) ((e) ? (void)0 : RtlAssert((PVOID) #e, (PVOID)__FILE__, __LINE__, NULL))
