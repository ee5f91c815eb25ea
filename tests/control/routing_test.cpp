// Device-control routing from an application's handle: the check table, the serial port's
// requests, the requests refused outright, and RejectedRequestCount, seen through presence
// requests that complete at once while it is above 0; smart card requests before the first start;
// and the serial adapter behind it.
#include <tuple>

#include "reader/link_lock.h"
#include "reader/raw_command.h"
#include "tests/driver/stack_rig.h"

using namespace stack_test;

TEST(Routing, CheckTableRefusalsAndTheRejectedRequestCount) {
  OnMachine(1, [](StackMachine& m) {
    Plugged c(m);
    Session s(m);
    using Case = std::tuple<ULONG, size_t, ULONG, NTSTATUS>;  // code, input, output, status
    for (auto [code, input, output, status] :
         {Case{IOCTL_SMARTCARD_GET_ATTRIBUTE, 0, 0, STATUS_INVALID_DEVICE_STATE},
          Case{IOCTL_SMARTCARD_SET_PROTOCOL, 3, 4, STATUS_NOT_SUPPORTED},
          Case{IOCTL_SMARTCARD_TRANSMIT, 8, 0, STATUS_NOT_SUPPORTED},
          Case{IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, STATUS_SUCCESS},
          Case{IOCTL_SERIAL_SET_FIFO_CONTROL + 4, 0, 0, STATUS_INVALID_DEVICE_REQUEST},
          Case{IOCTL_SMARTCARD_CONFISCATE, 0, 0, STATUS_INVALID_DEVICE_REQUEST},
          Case{IOCTL_SMARTCARD_EJECT, 0, 0, STATUS_NOT_SUPPORTED},
          Case{IOCTL_RAW_READER_COMMAND, 0, 4, STATUS_UNSUCCESSFUL}}) {
      EXPECT_EQ(s.Control(code, Bytes(input), output).status, status) << std::hex << code;
    }
    // Three refused by the table: presence requests complete at once, each request that passes
    // takes one off; at 0 a presence request goes to the library and pends.
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(s.Control(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_SUCCESS);
      EXPECT_EQ(s.State(), ULONG(SCARD_SWALLOWED));
    }
    EXPECT_FALSE(s.ControlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).done());
    // A close sets the count back to 0.
    EXPECT_EQ(s.Control(IOCTL_SMARTCARD_TRANSMIT, Bytes(8), 0).status, STATUS_NOT_SUPPORTED);
    s.Close();
    Session again(m);
    EXPECT_FALSE(again.ControlAsync(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).done());
  });
}

TEST(Routing, SmartCardRequestsBeforeTheFirstStartAreNotReady) {
  OnMachine(1, [](StackMachine& m) {
    std::unique_ptr<Plugged> c;
    PKTHREAD plug = m.k.Spawn("plug", [&] { c = std::make_unique<Plugged>(m); });
    // Opened as soon as AddDevice has named the device, while the start is still in progress.
    std::unique_ptr<Session> opened;
    while (!opened || opened->open_status != STATUS_SUCCESS) {
      opened.reset();
      m.k.SleepFor(Ticks(1000));
      opened = std::make_unique<Session>(m);
    }
    Session& s = *opened;
    EXPECT_EQ(s.State(), ULONG(SCARD_UNKNOWN));
    EXPECT_EQ(s.Control(IOCTL_SMARTCARD_GET_STATE, {}, 4).status, STATUS_DEVICE_NOT_READY);
    KeWaitForSingleObject(plug, Executive, KernelMode, FALSE, nullptr);
    // Started, the link comes up behind its gate, where requests wait for it.
    EXPECT_EQ(s.State(), ULONG(SCARD_SWALLOWED));
  });
}

TEST(Routing, SerialAdapterSendsTheConvertersRateBitsAndFraming) {
  OnMachine(1, [](StackMachine& m) {
    Plugged c(m);
    PSMARTCARD_EXTENSION e = &c.ext->SmartcardExtension;
    SERIAL_BAUD_RATE rate = {38400};
    SERIAL_LINE_CONTROL framing = {STOP_BITS_2, ODD_PARITY, 8};
    AcquireReaderLink(e, nullptr);
    for (auto [code, data] : {std::pair<ULONG, PVOID>{IOCTL_SERIAL_SET_BAUD_RATE, &rate},
                              {IOCTL_SERIAL_SET_LINE_CONTROL, &framing}}) {
      e->ReaderExtension->SerialIoctl = code;
      e->SmartcardRequest.Buffer = (PUCHAR)data;
      e->SmartcardRequest.BufferLength = code == IOCTL_SERIAL_SET_BAUD_RATE ? 4 : 3;
      EXPECT_EQ(e->ReaderExtension->SerialIoRoutine(e), STATUS_SUCCESS);
    }
    ReleaseReaderLink(e);
    EXPECT_EQ(c.rig.converter().line_settings(),
              (sim::UartSettings{38400, 8, sim::Parity::kOdd, 2}));
  });
}
