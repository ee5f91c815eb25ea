// zarq7-tool: the Windows side of scripts/wine.sh's set-up, and a small stand-in application.
//   zarq7-tool install-bus INF        the test bus as a root-enumerated device, from its INF
//   zarq7-tool stage-driver INF       the reader driver's INF into the system's INF folder, where
//                                     Plug and Play looks for a driver for a new device
//   zarq7-tool wait-reader SECONDS    waits until a smart card reader interface is there; prints
//                                     its path
//   zarq7-tool wait-gone SECONDS      waits until no smart card reader interface is left
//   zarq7-tool open                   opens the reader and closes it
//   zarq7-tool hold                   waits until its input ends (keeps the prefix's device host
//                                     running meanwhile)
//   zarq7-tool session APDU...        stand-in for zarq7.exe: the reader's name, a cold reset,
//                                     T=1, the APDUs, all through DeviceIoControl
// Windows headers in the order they need (clang-format would sort them).
// clang-format off
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <newdev.h>
#include <winsmcrd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
// clang-format on

namespace {

// The smart card reader device interface class (winsmcrd.h; MinGW-w64's lacks it).
const GUID ReaderInterface = {
    0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};
const GUID NoClass = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const char BusHardwareId[] = "ROOT\\ZARQ7TESTBUS\0";
const char BusInstance[] = "ROOT\\ZARQ7TESTBUS\\0000";

int Fail(const char* What) {
  fprintf(stderr, "zarq7-tool: %s: error %lu\n", What, GetLastError());
  return 1;
}

int InstallBus(const char* Inf) {
  char Path[MAX_PATH];
  if (!GetFullPathNameA(Inf, MAX_PATH, Path, NULL)) return Fail("INF path");
  HDEVINFO Set = SetupDiCreateDeviceInfoList(NULL, NULL);
  if (Set == INVALID_HANDLE_VALUE) return Fail("device list");
  SP_DEVINFO_DATA Device = {sizeof(Device), {}, 0, 0};
  if (SetupDiCreateDeviceInfoA(Set, BusInstance, &NoClass, NULL, NULL, 0, &Device)) {
    if (!SetupDiSetDeviceRegistryPropertyA(Set, &Device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(BusHardwareId),
                                           sizeof(BusHardwareId)))
      return Fail("hardware ID");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, Set, &Device)) return Fail("register bus");
  } else if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS) {
    return Fail("create bus device");
  }
  SetupDiDestroyDeviceInfoList(Set);
  BOOL Reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesA(NULL, "ROOT\\ZARQ7TESTBUS", Path, INSTALLFLAG_FORCE,
                                          &Reboot))
    return Fail("install the bus driver");
  printf("zarq7-tool: test bus installed from %s\n", Path);
  return 0;
}

int StageDriver(const char* Inf) {
  char Path[MAX_PATH], Destination[MAX_PATH];
  if (!GetFullPathNameA(Inf, MAX_PATH, Path, NULL)) return Fail("INF path");
  if (!SetupCopyOEMInfA(Path, NULL, SPOST_PATH, 0, Destination, MAX_PATH, NULL, NULL))
    return Fail("copy the INF");
  printf("zarq7-tool: %s staged as %s\n", Path, Destination);
  return 0;
}

// The first reader interface's path, or FALSE.
BOOL FindReader(char* Path, DWORD Size) {
  HDEVINFO Set =
      SetupDiGetClassDevsA(&ReaderInterface, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (Set == INVALID_HANDLE_VALUE) return FALSE;
  SP_DEVICE_INTERFACE_DATA Interface = {sizeof(Interface), {}, 0, 0};
  BOOL Found = FALSE;
  if (SetupDiEnumDeviceInterfaces(Set, NULL, &ReaderInterface, 0, &Interface)) {
    char Buffer[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + MAX_PATH];
    auto* Detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(Buffer);
    Detail->cbSize = sizeof(*Detail);
    if (SetupDiGetDeviceInterfaceDetailA(Set, &Interface, Detail, sizeof(Buffer), NULL, NULL)) {
      strncpy(Path, Detail->DevicePath, Size - 1);
      Path[Size - 1] = 0;
      Found = TRUE;
    }
  }
  SetupDiDestroyDeviceInfoList(Set);
  return Found;
}

int WaitReader(const char* Seconds) {
  DWORD Until = GetTickCount() + static_cast<DWORD>(atoi(Seconds)) * 1000;
  char Path[MAX_PATH];
  while (!FindReader(Path, sizeof(Path))) {
    if (static_cast<LONG>(GetTickCount() - Until) >= 0) {
      fprintf(stderr, "zarq7-tool: no smart card reader appeared within %s s\n", Seconds);
      return 1;
    }
    Sleep(100);
  }
  printf("zarq7-tool: reader interface %s\n", Path);
  return 0;
}

int WaitGone(const char* Seconds) {
  DWORD Until = GetTickCount() + static_cast<DWORD>(atoi(Seconds)) * 1000;
  char Path[MAX_PATH];
  while (FindReader(Path, sizeof(Path))) {
    if (static_cast<LONG>(GetTickCount() - Until) >= 0) {
      fprintf(stderr, "zarq7-tool: the reader interface %s is still there after %s s\n", Path,
              Seconds);
      return 1;
    }
    Sleep(100);
  }
  printf("zarq7-tool: no reader interface left\n");
  return 0;
}

// Opens the reader and closes it again: the driver's open and close, with nothing sent.
int OpenClose() {
  char Path[MAX_PATH];
  if (!FindReader(Path, sizeof(Path))) {
    fprintf(stderr, "zarq7-tool: no smart card reader\n");
    return 1;
  }
  HANDLE Reader = CreateFileA(Path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (Reader == INVALID_HANDLE_VALUE) return Fail("open the reader");
  CloseHandle(Reader);
  printf("zarq7-tool: reader opened and closed\n");
  return 0;
}

int Hold() {
  char Line[64];
  while (fgets(Line, sizeof(Line), stdin)) {
  }
  return 0;
}

void PrintBytes(const char* Prefix, const BYTE* Bytes, DWORD Length) {
  printf("%s", Prefix);
  for (DWORD Index = 0; Index < Length; ++Index) printf(" %02X", Bytes[Index]);
  printf("\n");
}

bool Control(HANDLE Reader, DWORD Code, const void* In, DWORD InLength, void* Out, DWORD OutLength,
             DWORD* Returned, const char* What) {
  if (DeviceIoControl(Reader, Code, const_cast<void*>(In), InLength, Out, OutLength, Returned,
                      NULL))
    return true;
  fprintf(stderr, "zarq7-tool: %s: error %lu\n", What, GetLastError());
  return false;
}

int Session(int Count, char** Apdus) {
  char Path[MAX_PATH];
  if (!FindReader(Path, sizeof(Path))) {
    fprintf(stderr, "zarq7-tool: no smart card reader\n");
    return 1;
  }
  HANDLE Reader = CreateFileA(Path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (Reader == INVALID_HANDLE_VALUE) return Fail("open the reader");
  printf("device: %s\n", Path);
  BYTE Buffer[512];
  DWORD Returned = 0;
  DWORD Attribute = SCARD_ATTR_VENDOR_NAME;
  if (!Control(Reader, IOCTL_SMARTCARD_GET_ATTRIBUTE, &Attribute, sizeof(Attribute), Buffer,
               sizeof(Buffer) - 1, &Returned, "vendor name"))
    return 1;
  Buffer[Returned] = 0;
  printf("reader: %s\n", reinterpret_cast<char*>(Buffer));
  DWORD Power = SCARD_COLD_RESET;
  if (!Control(Reader, IOCTL_SMARTCARD_POWER, &Power, sizeof(Power), Buffer, sizeof(Buffer),
               &Returned, "cold reset"))
    return 1;
  PrintBytes("ATR:", Buffer, Returned);
  DWORD Protocol = SCARD_PROTOCOL_T1;
  if (!Control(Reader, IOCTL_SMARTCARD_SET_PROTOCOL, &Protocol, sizeof(Protocol), &Protocol,
               sizeof(Protocol), &Returned, "select T=1"))
    return 1;
  printf("protocol: T=1\n");
  for (int Index = 0; Index < Count; ++Index) {
    BYTE Request[sizeof(SCARD_IO_REQUEST) + 300];
    auto* Header = reinterpret_cast<SCARD_IO_REQUEST*>(Request);
    Header->dwProtocol = SCARD_PROTOCOL_T1;
    Header->cbPciLength = sizeof(SCARD_IO_REQUEST);
    DWORD Length = 0;
    for (const char* At = Apdus[Index]; At[0] && At[1] && Length < 300; At += 2) {
      char Pair[3] = {At[0], At[1], 0};
      Request[sizeof(SCARD_IO_REQUEST) + Length++] = static_cast<BYTE>(strtoul(Pair, NULL, 16));
    }
    PrintBytes(">", Request + sizeof(SCARD_IO_REQUEST), Length);
    if (!Control(Reader, IOCTL_SMARTCARD_TRANSMIT, Request, sizeof(SCARD_IO_REQUEST) + Length,
                 Buffer, sizeof(Buffer), &Returned, "transmit"))
      return 1;
    if (Returned >= sizeof(SCARD_IO_REQUEST))
      PrintBytes("<", Buffer + sizeof(SCARD_IO_REQUEST), Returned - sizeof(SCARD_IO_REQUEST));
  }
  CloseHandle(Reader);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  if (argc >= 3 && !strcmp(argv[1], "install-bus")) return InstallBus(argv[2]);
  if (argc >= 3 && !strcmp(argv[1], "stage-driver")) return StageDriver(argv[2]);
  if (argc >= 3 && !strcmp(argv[1], "wait-reader")) return WaitReader(argv[2]);
  if (argc >= 3 && !strcmp(argv[1], "wait-gone")) return WaitGone(argv[2]);
  if (argc >= 2 && !strcmp(argv[1], "open")) return OpenClose();
  if (argc >= 2 && !strcmp(argv[1], "hold")) return Hold();
  if (argc >= 2 && !strcmp(argv[1], "session")) return Session(argc - 2, argv + 2);
  fprintf(stderr,
          "usage: zarq7-tool install-bus INF | stage-driver INF | wait-reader SECONDS | "
          "wait-gone SECONDS | open | hold | "
          "session APDU...\n");
  return 2;
}
