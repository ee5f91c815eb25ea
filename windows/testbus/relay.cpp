// zarq7-relay: the user-mode half of the test bus (a kernel driver cannot use sockets). It
// imports devices from a USB/IP server (zarq7-usbip), has the bus report each as a child, and
// carries the child's transfers: it reads them from the child's work pipe, sends them as
// USBIP_CMD_SUBMIT or USBIP_CMD_UNLINK, and writes every outcome to the child's done pipe. Wine's
// ws2_32 maps Winsock onto the host's sockets.
//
//   zarq7-relay [--trace] HOST PORT BUSID...
// Commands on standard input, one a line: "unplug N" (child N is gone), "quit" (every child
// unplugged, then exit). The end of input is "quit". A device whose server connection ends is
// unplugged as well.
// Windows headers in the order they need (clang-format would sort them).
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
// clang-format on

#include "testbus_interface.h"

namespace {

const unsigned USBIP_VERSION = 0x0111;
const unsigned OP_REQ_IMPORT = 0x8003;
const unsigned OP_REP_IMPORT = 0x0003;
const unsigned USBIP_CMD_SUBMIT = 1;
const unsigned USBIP_CMD_UNLINK = 2;
const unsigned USBIP_RET_SUBMIT = 3;
const unsigned USBIP_RET_UNLINK = 4;
const unsigned USBIP_DIR_IN = 1;
const unsigned URB_DIR_IN = 0x0200;  // Linux's transfer flag
const size_t HEADER_SIZE = 48;
const size_t DEVICE_RECORD_SIZE = 312;  // path 256, busid 32, then numbers to 312
const int MAX_DEVICES = 9;
const int MAX_OUTSTANDING = 64;
const LONG LINUX_ECONNRESET = 104;

struct Outstanding {
  ULONG Sequence;
  ULONG DirectionIn;
  ULONG Length;
  bool Used;
  ULONG Unlinked;  // for an unlink: the transfer it takes back (0 for a submission)
};

struct Device {
  int Index;
  char BusId[32];
  SOCKET Socket;
  ULONG DevId;
  ULONG Child;
  HANDLE WorkPipe;  // the bus writes the child's transfers here
  HANDLE DonePipe;  // and takes their outcomes from here
  bool Plugged;
  CRITICAL_SECTION Lock;  // the socket's sending side and the outstanding table
  Outstanding Table[MAX_OUTSTANDING];
};

Device Devices[MAX_DEVICES];
int DeviceCount;
bool Trace;  // --trace: a line for every transfer, on standard error

void TraceBytes(const char* Prefix, const Device* Target, ULONG Sequence,
                const unsigned char* Bytes, ULONG Length, const char* Suffix) {
  if (!Trace) return;
  char Line[160];
  int At = snprintf(Line, sizeof(Line), "relay %s #%lu %s", Target->BusId, Sequence, Prefix);
  for (ULONG Index = 0; Index < Length && At < 140; ++Index)
    At += snprintf(Line + At, sizeof(Line) - At, " %02X", Bytes[Index]);
  fprintf(stderr, "%s%s\n", Line, Suffix);
}

void Put32(unsigned char* At, ULONG Value) {
  At[0] = static_cast<unsigned char>(Value >> 24);
  At[1] = static_cast<unsigned char>(Value >> 16);
  At[2] = static_cast<unsigned char>(Value >> 8);
  At[3] = static_cast<unsigned char>(Value);
}
ULONG Get32(const unsigned char* At) {
  return (ULONG(At[0]) << 24) | (ULONG(At[1]) << 16) | (ULONG(At[2]) << 8) | At[3];
}
unsigned Get16(const unsigned char* At) { return (unsigned(At[0]) << 8) | At[1]; }

bool SendAll(SOCKET Socket, const void* Data, size_t Length) {
  const char* At = static_cast<const char*>(Data);
  while (Length) {
    int Sent = send(Socket, At, static_cast<int>(Length), 0);
    if (Sent <= 0) return false;
    At += Sent;
    Length -= static_cast<size_t>(Sent);
  }
  return true;
}
bool ReceiveAll(SOCKET Socket, void* Data, size_t Length) {
  char* At = static_cast<char*>(Data);
  while (Length) {
    int Got = recv(Socket, At, static_cast<int>(Length), 0);
    if (Got <= 0) return false;
    At += Got;
    Length -= static_cast<size_t>(Got);
  }
  return true;
}

HANDLE OpenBus() {
  HANDLE Bus = CreateFileA(TESTBUS_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                           OPEN_EXISTING, 0, NULL);
  if (Bus == INVALID_HANDLE_VALUE)
    fprintf(stderr, "zarq7-relay: cannot open the test bus (%s): error %lu\n", TESTBUS_CONTROL_PATH,
            GetLastError());
  return Bus;
}

bool Import(Device* Target, const char* Host, const char* Port, TESTBUS_PLUG* Identity) {
  addrinfo Hints = {};
  Hints.ai_family = AF_INET;
  Hints.ai_socktype = SOCK_STREAM;
  addrinfo* Found = NULL;
  if (getaddrinfo(Host, Port, &Hints, &Found) || !Found) {
    fprintf(stderr, "zarq7-relay: cannot resolve %s:%s\n", Host, Port);
    return false;
  }
  Target->Socket = socket(Found->ai_family, Found->ai_socktype, Found->ai_protocol);
  bool Connected =
      Target->Socket != INVALID_SOCKET &&
      connect(Target->Socket, Found->ai_addr, static_cast<int>(Found->ai_addrlen)) == 0;
  freeaddrinfo(Found);
  if (!Connected) {
    fprintf(stderr, "zarq7-relay: cannot connect to %s:%s: error %d\n", Host, Port,
            WSAGetLastError());
    return false;
  }
  BOOL NoDelay = TRUE;
  setsockopt(Target->Socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&NoDelay),
             sizeof(NoDelay));
  unsigned char Request[8 + 32] = {};
  Request[0] = USBIP_VERSION >> 8;
  Request[1] = USBIP_VERSION & 0xFF;
  Request[2] = OP_REQ_IMPORT >> 8;
  Request[3] = OP_REQ_IMPORT & 0xFF;
  memcpy(Request + 8, Target->BusId, strnlen(Target->BusId, 31));
  unsigned char Reply[8 + DEVICE_RECORD_SIZE];
  if (!SendAll(Target->Socket, Request, sizeof(Request)) || !ReceiveAll(Target->Socket, Reply, 8)) {
    fprintf(stderr, "zarq7-relay: %s: the server did not answer the import\n", Target->BusId);
    return false;
  }
  if (Get16(Reply + 2) != OP_REP_IMPORT || Get32(Reply + 4) != 0) {
    fprintf(stderr, "zarq7-relay: %s: import refused (reply %04X, status %lu)\n", Target->BusId,
            Get16(Reply + 2), Get32(Reply + 4));
    return false;
  }
  if (!ReceiveAll(Target->Socket, Reply + 8, DEVICE_RECORD_SIZE)) return false;
  const unsigned char* Record = Reply + 8;
  ULONG BusNumber = Get32(Record + 288);
  ULONG DeviceNumber = Get32(Record + 292);
  Target->DevId = (BusNumber << 16) | DeviceNumber;
  Identity->VendorId = static_cast<USHORT>(Get16(Record + 300));
  Identity->ProductId = static_cast<USHORT>(Get16(Record + 302));
  Identity->DeviceRelease = static_cast<USHORT>(Get16(Record + 304));
  Identity->DeviceClass = Record[306];
  printf("zarq7-relay: imported %s: %04X:%04X, bus %lu device %lu\n", Target->BusId,
         Identity->VendorId, Identity->ProductId, BusNumber, DeviceNumber);
  fflush(stdout);
  return true;
}

void Unplug(Device* Target) {
  EnterCriticalSection(&Target->Lock);
  bool Was = Target->Plugged;
  Target->Plugged = false;
  LeaveCriticalSection(&Target->Lock);
  if (!Was) return;
  HANDLE Bus = OpenBus();
  if (Bus == INVALID_HANDLE_VALUE) return;
  DWORD Returned;
  if (DeviceIoControl(Bus, IOCTL_TESTBUS_UNPLUG, &Target->Child, sizeof(ULONG), NULL, 0, &Returned,
                      NULL))
    printf("zarq7-relay: child %lu (%s) unplugged\n", Target->Child, Target->BusId);
  fflush(stdout);
  CloseHandle(Bus);
  shutdown(Target->Socket, SD_BOTH);
}

bool ReadPipe(HANDLE Pipe, void* Data, DWORD Length) {
  char* At = static_cast<char*>(Data);
  while (Length) {
    DWORD Got = 0;
    if (!ReadFile(Pipe, At, Length, &Got, NULL) || Got == 0) return false;
    At += Got;
    Length -= Got;
  }
  return true;
}
bool WritePipe(HANDLE Pipe, const void* Data, DWORD Length) {
  DWORD Written = 0;
  return WriteFile(Pipe, Data, Length, &Written, NULL) && Written == Length;
}
// An outcome for the bus: its length, then TESTBUS_DONE and the data.
bool WriteAnswer(HANDLE Pipe, const void* Record, DWORD Length) {
  return WritePipe(Pipe, &Length, sizeof(Length)) && WritePipe(Pipe, Record, Length);
}

// The child's two pipes to the bus (testbus_interface.h).
HANDLE MakePipe(ULONG Child, const char* Which, DWORD Direction) {
  char Name[64];
  snprintf(Name, sizeof(Name), TESTBUS_PIPE_FORMAT, Child, Which);
  HANDLE Pipe = CreateNamedPipeA(Name, Direction, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                 1, 64 * 1024, 64 * 1024, 0, NULL);
  if (Pipe == INVALID_HANDLE_VALUE)
    fprintf(stderr, "zarq7-relay: cannot make %s: error %lu\n", Name, GetLastError());
  return Pipe;
}

// Takes the child's transfers from the bus and sends them to the server.
DWORD WINAPI Sender(void* Parameter) {
  Device* Target = static_cast<Device*>(Parameter);
  if (!ConnectNamedPipe(Target->WorkPipe, NULL) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
  static const size_t Size = sizeof(TESTBUS_WORK) + TESTBUS_MAX_TRANSFER;
  unsigned char* Buffer = static_cast<unsigned char*>(malloc(Size));
  unsigned char* Packet = static_cast<unsigned char*>(malloc(HEADER_SIZE + TESTBUS_MAX_TRANSFER));
  for (;;) {
    TESTBUS_WORK Work;
    if (!ReadPipe(Target->WorkPipe, &Work, sizeof(Work))) break;
    memcpy(Buffer, &Work, sizeof(Work));
    if (Work.Kind == TESTBUS_WORK_SUBMIT && !Work.DirectionIn && Work.Length &&
        (Work.Length > TESTBUS_MAX_TRANSFER ||
         !ReadPipe(Target->WorkPipe, Buffer + sizeof(Work), Work.Length)))
      break;
    memset(Packet, 0, HEADER_SIZE);
    size_t Length = HEADER_SIZE;
    Put32(Packet + 4, Work.Sequence);
    Put32(Packet + 8, Target->DevId);
    Put32(Packet + 12, Work.DirectionIn ? USBIP_DIR_IN : 0);
    Put32(Packet + 16, Work.Endpoint);
    if (Work.Kind == TESTBUS_WORK_UNLINK) {
      Put32(Packet, USBIP_CMD_UNLINK);
      Put32(Packet + 20, Work.UnlinkSequence);
    } else {
      Put32(Packet, USBIP_CMD_SUBMIT);
      Put32(Packet + 20, Work.DirectionIn ? URB_DIR_IN : 0);
      Put32(Packet + 24, Work.Length);
      Put32(Packet + 32, 0xFFFFFFFF);  // not isochronous
      memcpy(Packet + 40, Work.Setup, 8);
      if (!Work.DirectionIn && Work.Length) {
        memcpy(Packet + HEADER_SIZE, Buffer + sizeof(TESTBUS_WORK), Work.Length);
        Length += Work.Length;
      }
    }
    if (Work.Kind == TESTBUS_WORK_UNLINK) {
      TraceBytes("unlink", Target, Work.UnlinkSequence, NULL, 0, "");
    } else {
      char What[48];
      snprintf(What, sizeof(What), "ep %lu %s len %lu%s", Work.Endpoint,
               Work.DirectionIn ? "in" : "out", Work.Length, Work.Endpoint ? "" : " setup");
      TraceBytes(What, Target, Work.Sequence, Work.Endpoint ? Packet + HEADER_SIZE : Work.Setup,
                 Work.Endpoint ? Length - HEADER_SIZE : 8, "");
    }
    EnterCriticalSection(&Target->Lock);
    for (Outstanding& Entry : Target->Table)
      if (!Entry.Used) {
        Entry = {Work.Sequence, Work.DirectionIn, Work.Length, true,
                 Work.Kind == TESTBUS_WORK_UNLINK ? Work.UnlinkSequence : 0};
        break;
      }
    bool Sent = Target->Plugged && SendAll(Target->Socket, Packet, Length);
    LeaveCriticalSection(&Target->Lock);
    if (!Sent) break;
  }
  free(Buffer);
  free(Packet);
  return 0;
}

// Receives the server's answers and completes the transfers on the bus.
DWORD WINAPI Receiver(void* Parameter) {
  Device* Target = static_cast<Device*>(Parameter);
  if (!ConnectNamedPipe(Target->DonePipe, NULL) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
  unsigned char Header[HEADER_SIZE];
  unsigned char* Done =
      static_cast<unsigned char*>(malloc(sizeof(TESTBUS_DONE) + TESTBUS_MAX_TRANSFER));
  while (ReceiveAll(Target->Socket, Header, HEADER_SIZE)) {
    ULONG Command = Get32(Header);
    ULONG Sequence = Get32(Header + 4);
    if (Command != USBIP_RET_SUBMIT && Command != USBIP_RET_UNLINK) {
      fprintf(stderr, "zarq7-relay: %s: unexpected command %lu\n", Target->BusId, Command);
      break;
    }
    TESTBUS_DONE Record;
    Record.Sequence = Sequence;
    Record.Status = static_cast<LONG>(Get32(Header + 20));
    Record.ActualLength = Get32(Header + 24);
    bool In = false;
    ULONG Unlinked = 0;
    EnterCriticalSection(&Target->Lock);
    for (Outstanding& Entry : Target->Table)
      if (Entry.Used && Entry.Sequence == Sequence) {
        In = Entry.DirectionIn != 0;
        Unlinked = Entry.Unlinked;
        Entry.Used = false;
        break;
      }
    LeaveCriticalSection(&Target->Lock);
    if (Command == USBIP_RET_UNLINK) {
      // The transfer taken back ends as cancelled. An unlink that came too late (status 0)
      // follows the transfer's own answer on this connection, which has completed it already;
      // the bus drops this one then.
      Record.Sequence = Unlinked;
      Record.Status = -LINUX_ECONNRESET;
      Record.ActualLength = 0;
      TraceBytes("unlinked", Target, Unlinked, NULL, 0, "");
      if (Unlinked && !WriteAnswer(Target->DonePipe, &Record, sizeof(Record))) break;
      continue;
    }
    ULONG Data = In ? Record.ActualLength : 0;
    if (Data > TESTBUS_MAX_TRANSFER || !ReceiveAll(Target->Socket, Done + sizeof(Record), Data))
      break;
    memcpy(Done, &Record, sizeof(Record));
    char What[40];
    snprintf(What, sizeof(What), "done status %ld", Record.Status);
    TraceBytes(What, Target, Sequence, Done + sizeof(Record), Data, "");
    if (!WriteAnswer(Target->DonePipe, Done, static_cast<DWORD>(sizeof(Record) + Data))) break;
  }
  free(Done);
  // The server ended the connection: the device is gone.
  Unplug(Target);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && !strcmp(argv[1], "--trace")) {
    Trace = true;
    --argc;
    ++argv;
  }
  if (argc < 4) {
    fprintf(stderr, "usage: zarq7-relay [--trace] HOST PORT BUSID...\n");
    return 2;
  }
  setvbuf(stdout, NULL, _IONBF, 0);
  WSADATA Data;
  if (WSAStartup(MAKEWORD(2, 2), &Data)) {
    fprintf(stderr, "zarq7-relay: no Winsock\n");
    return 1;
  }
  // The bus may still be loading (winedevice starts it with the prefix's first process).
  HANDLE Bus = INVALID_HANDLE_VALUE;
  for (int Try = 0; Try < 200 && Bus == INVALID_HANDLE_VALUE; ++Try) {
    Bus = CreateFileA(TESTBUS_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                      NULL);
    if (Bus == INVALID_HANDLE_VALUE) Sleep(100);
  }
  if (Bus == INVALID_HANDLE_VALUE) Bus = OpenBus();
  if (Bus == INVALID_HANDLE_VALUE) return 1;
  for (int Argument = 3; Argument < argc && DeviceCount < MAX_DEVICES; ++Argument) {
    Device* Target = &Devices[DeviceCount];
    Target->Index = DeviceCount;
    strncpy(Target->BusId, argv[Argument], sizeof(Target->BusId) - 1);
    InitializeCriticalSection(&Target->Lock);
    TESTBUS_PLUG Identity = {};
    if (!Import(Target, argv[1], argv[2], &Identity)) return 1;
    DWORD Returned;
    if (!DeviceIoControl(Bus, IOCTL_TESTBUS_PLUG, &Identity, sizeof(Identity), &Target->Child,
                         sizeof(ULONG), &Returned, NULL)) {
      fprintf(stderr, "zarq7-relay: the bus refused the device: error %lu\n", GetLastError());
      return 1;
    }
    // The child's transfers go through pipes served by the bus's own threads, not through
    // requests: Wine dispatches every request of the bus's process on one thread (testbus.cpp).
    Target->WorkPipe = MakePipe(Target->Child, "work", PIPE_ACCESS_INBOUND);
    Target->DonePipe = MakePipe(Target->Child, "done", PIPE_ACCESS_OUTBOUND);
    if (Target->WorkPipe == INVALID_HANDLE_VALUE || Target->DonePipe == INVALID_HANDLE_VALUE ||
        !DeviceIoControl(Bus, IOCTL_TESTBUS_ATTACH_PIPES, &Target->Child, sizeof(ULONG), NULL, 0,
                         &Returned, NULL)) {
      fprintf(stderr, "zarq7-relay: the bus took no pipes: error %lu\n", GetLastError());
      return 1;
    }
    Target->Plugged = true;
    printf("zarq7-relay: %s is child %lu of the test bus\n", Target->BusId, Target->Child);
    ++DeviceCount;
    CreateThread(NULL, 0, Sender, Target, 0, NULL);
    CreateThread(NULL, 0, Receiver, Target, 0, NULL);
  }
  CloseHandle(Bus);
  char Line[128];
  while (fgets(Line, sizeof(Line), stdin)) {
    unsigned Number;
    if (sscanf(Line, "unplug %u", &Number) == 1) {
      for (int Index = 0; Index < DeviceCount; ++Index)
        if (Devices[Index].Child == Number) Unplug(&Devices[Index]);
    } else if (!strncmp(Line, "quit", 4)) {
      break;
    }
  }
  for (int Index = 0; Index < DeviceCount; ++Index) Unplug(&Devices[Index]);
  Sleep(500);  // the removals run in winedevice; give the messages time to come out
  return 0;
}
