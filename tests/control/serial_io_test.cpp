// The serial I/O adapter as the link calls it, the link held, on a started device: the rates the
// reader offers reach the converter as its rate bits, framing as its framing, a read reports the
// bytes it delivered, and a request longer than its buffer sends nothing.
#include "reader/link_lock.h"
#include "tests/driver/stack_rig.h"

using namespace stack_test;

TEST(SerialIo, RatesFramingAShortReadAndARequestTooLong) {
  OnMachine(1, [](StackMachine& m) {
    Plugged c(m);
    PSMARTCARD_EXTENSION e = &c.ext->SmartcardExtension;
    auto serial = [&](ULONG code, PVOID data, ULONG length) {
      e->ReaderExtension->SerialIoctl = code;
      e->SmartcardRequest.Buffer = (PUCHAR)data;
      e->SmartcardRequest.BufferLength = length;
      return e->ReaderExtension->SerialIoRoutine(e);
    };
    AcquireReaderLink(e, nullptr);
    SMARTCARD_REQUEST library = e->SmartcardRequest;
    SERIAL_BAUD_RATE rate = {38400};
    EXPECT_EQ(serial(IOCTL_SERIAL_SET_BAUD_RATE, &rate, 4), STATUS_SUCCESS);
    SERIAL_LINE_CONTROL framing = {STOP_BITS_2, ODD_PARITY, 8};
    EXPECT_EQ(serial(IOCTL_SERIAL_SET_LINE_CONTROL, &framing, 3), STATUS_SUCCESS);
    EXPECT_EQ(c.rig.converter().line_settings(),
              (sim::UartSettings{38400, 8, sim::Parity::kOdd, 2}));
    e->SmartcardRequest.BufferSize = 2;
    size_t urbs = c.Urbs().size();
    EXPECT_EQ(serial(IOCTL_SERIAL_SET_DTR, nullptr, 3), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(c.Urbs().size(), urbs);
    e->SmartcardRequest = library;
    // Two bytes of the three asked for: success, and the reply length says two.
    c.rig.line().reader_end().Configure(c.rig.converter().line_settings());
    c.rig.line().reader_end().Transmit({0x12, 0x34});
    e->SmartcardReply.BufferLength = 3;
    EXPECT_EQ(serial(SMARTCARD_READ, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(e->SmartcardReply.BufferLength, 2u);
    ReleaseReaderLink(e);
  });
}
