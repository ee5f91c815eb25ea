// The test bus's control device and the records its relay exchanges with it. Shared by the bus
// driver (testbus.cpp) and the user-mode relay (relay.cpp). A kernel driver has no sockets, so
// the bus hands every transfer its children are asked for to the relay through an inverted call:
// the relay keeps a fetch request pending per child, the bus completes it with the next piece of
// work, the relay carries it over USB/IP and hands the outcome back with a complete request.
#pragma once

#define TESTBUS_CONTROL_NAME L"\\Device\\Zarq7TestBus"
#define TESTBUS_CONTROL_LINK L"\\DosDevices\\Zarq7TestBus"
#define TESTBUS_CONTROL_PATH "\\\\.\\Zarq7TestBus"

#define TESTBUS_DEVICE_TYPE 0x8A7
#define TESTBUS_CODE(function) \
  CTL_CODE(TESTBUS_DEVICE_TYPE, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)
// In: TESTBUS_PLUG. Out: ULONG, the child's number. The bus reports a new child.
#define IOCTL_TESTBUS_PLUG TESTBUS_CODE(0x801)
// In: ULONG, the child's number. The child is gone: its transfers fail, the system removes it.
#define IOCTL_TESTBUS_UNPLUG TESTBUS_CODE(0x802)
// In: ULONG, the child's number. Out: TESTBUS_WORK and, for an OUT transfer, its data. Pends
// until there is work; cancelled when the relay goes.
#define IOCTL_TESTBUS_FETCH TESTBUS_CODE(0x803)
// In: TESTBUS_DONE and, for an IN transfer, the data that came.
#define IOCTL_TESTBUS_COMPLETE TESTBUS_CODE(0x804)
// In: ULONG, the child's number. The relay has made the child's two pipes (byte mode):
// \\.\pipe\zarq7-testbus-N-work, where the bus writes each TESTBUS_WORK and its OUT data, and
// \\.\pipe\zarq7-testbus-N-done, where the relay writes each outcome as a ULONG length and that
// many bytes of TESTBUS_DONE and IN data. The bus's own threads serve them from here on, in place
// of fetch and complete requests (which Wine dispatches on one thread: see testbus.cpp).
#define IOCTL_TESTBUS_ATTACH_PIPES TESTBUS_CODE(0x805)
#define TESTBUS_PIPE_FORMAT "\\\\.\\pipe\\zarq7-testbus-%lu-%s"

// The largest transfer the bus hands over in one piece (the converter's are 8 bytes; its
// descriptors a few dozen).
#define TESTBUS_MAX_TRANSFER 4096

typedef struct _TESTBUS_PLUG {
  USHORT VendorId;
  USHORT ProductId;
  USHORT DeviceRelease;
  UCHAR DeviceClass;
  UCHAR Reserved;
} TESTBUS_PLUG;

#define TESTBUS_WORK_SUBMIT 1
#define TESTBUS_WORK_UNLINK 2

typedef struct _TESTBUS_WORK {
  ULONG Kind;            // TESTBUS_WORK_SUBMIT or _UNLINK
  ULONG Sequence;        // the transfer's number; for an unlink, the unlink's own
  ULONG UnlinkSequence;  // for an unlink: the transfer to take back
  ULONG Endpoint;        // endpoint number, without the direction bit; 0 for control
  ULONG DirectionIn;     // 1: device to host
  ULONG Length;          // bytes asked for (IN) or given (OUT, following this record)
  UCHAR Setup[8];        // control transfers: the setup packet
} TESTBUS_WORK;

typedef struct _TESTBUS_DONE {
  ULONG Sequence;
  LONG Status;  // as USB/IP reports it: 0, or a negative Linux errno
  ULONG ActualLength;
} TESTBUS_DONE;
