// SmartcardDeviceControl: the checks of each request, what reaches the reader functions, the
// state and last-error answers, other codes, serialisation and the verifier's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/host/smclib/smclib_rig.h"

using host::kernel::Outcome;
using smclib_test::Bytes;
using smclib_test::Machine;
using smclib_test::Rig;
using smclib_test::UlongAt;

namespace {

// A transmission buffer: the header, then the command.
std::vector<UCHAR> Transmission(ULONG protocol, std::vector<UCHAR> command, size_t size = 64) {
  SCARD_IO_REQUEST header{protocol, sizeof(SCARD_IO_REQUEST)};
  std::vector<UCHAR> b(std::max(sizeof header + command.size(), size), 0xEE);
  std::memcpy(b.data(), &header, sizeof header);
  std::copy(command.begin(), command.end(), b.begin() + sizeof header);
  return b;
}

}  // namespace

TEST(Power, TheThreeCodesReachTheCardPowerFunctionWithTheOutputAsReply) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    rig.handler[RDF_CARD_POWER] = [](PSMARTCARD_EXTENSION e) {
      if (e->MinorIoControlCode == SCARD_POWER_DOWN) return STATUS_SUCCESS;
      const UCHAR atr[] = {0x3B, 0x00};
      if (e->IoRequest.ReplyBufferLength == 0) return STATUS_SUCCESS;
      if (e->IoRequest.ReplyBufferLength < sizeof atr) return STATUS_BUFFER_TOO_SMALL;
      std::memcpy(e->IoRequest.ReplyBuffer, atr, sizeof atr);
      *e->IoRequest.Information = sizeof atr;
      return STATUS_SUCCESS;
    };
    std::vector<UCHAR> buffer;
    auto cold = rig.SendUlong(IOCTL_SMARTCARD_POWER, SCARD_COLD_RESET, 33, &buffer);
    EXPECT_EQ(cold->status, STATUS_SUCCESS);
    EXPECT_EQ(cold->returned, STATUS_SUCCESS);
    ASSERT_EQ(cold->information, 2u);
    EXPECT_EQ(buffer[0], 0x3B);
    ASSERT_EQ(rig.calls.size(), 1u);
    auto& call = rig.calls[0];
    EXPECT_EQ(call.slot, ULONG(RDF_CARD_POWER));
    EXPECT_EQ(call.major, ULONG(IOCTL_SMARTCARD_POWER));
    EXPECT_EQ(call.minor, ULONG(SCARD_COLD_RESET));
    EXPECT_EQ(call.reply_buffer, buffer.data());
    EXPECT_EQ(call.reply_length, 33u);
    EXPECT_TRUE(call.has_information);
    EXPECT_EQ(call.information_on_entry, 0u);
    EXPECT_NE(call.current_irp, nullptr) << "OsData->CurrentIrp while the function runs";
    EXPECT_EQ(rig.e()->OsData->CurrentIrp, nullptr) << "and not after";
    EXPECT_EQ(rig.e()->IoRequest.ReplyBuffer, nullptr) << "the IRP's buffer is not left behind";

    EXPECT_EQ(rig.SendUlong(IOCTL_SMARTCARD_POWER, SCARD_WARM_RESET, 33)->status, STATUS_SUCCESS);
    EXPECT_EQ(rig.calls.back().minor, ULONG(SCARD_WARM_RESET));
    auto down = rig.SendUlong(IOCTL_SMARTCARD_POWER, SCARD_POWER_DOWN, 0, &buffer);
    EXPECT_EQ(down->status, STATUS_SUCCESS);
    EXPECT_EQ(rig.calls.back().minor, ULONG(SCARD_POWER_DOWN));
    EXPECT_EQ(rig.calls.back().reply_buffer, buffer.data())
        << "no output: the system buffer, which holds the power code, with length 0";
    EXPECT_EQ(rig.calls.back().reply_length, 0u);

    auto small = rig.SendUlong(IOCTL_SMARTCARD_POWER, SCARD_COLD_RESET, 1);
    EXPECT_EQ(small->status, STATUS_BUFFER_TOO_SMALL) << "the driver's own status";
    EXPECT_EQ(small->information, 0u);
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Power, OtherCodesAndShortInputNeverReachTheDriver) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    EXPECT_EQ(rig.SendUlong(IOCTL_SMARTCARD_POWER, 3, 33)->status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(rig.SendUlong(IOCTL_SMARTCARD_POWER, 0xFFFFFFFF, 33)->status,
              STATUS_INVALID_DEVICE_REQUEST);
    std::vector<UCHAR> two{1, 0};
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_POWER, &two, 2, 0)->status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(rig.calls.empty());
    rig.Close();

    Rig bare(m, {});
    EXPECT_EQ(bare.SendUlong(IOCTL_SMARTCARD_POWER, SCARD_COLD_RESET, 33)->status,
              STATUS_NOT_SUPPORTED);
    bare.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(SetProtocol, ChecksThenHandsTheMaskOverAndAnswersTheSelectedProtocol) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    EXPECT_EQ(rig.SendUlong(IOCTL_SMARTCARD_SET_PROTOCOL, SCARD_PROTOCOL_T1, 4)->status,
              STATUS_NO_MEDIA);
    rig.SetState(SCARD_POWERED);
    EXPECT_EQ(rig.SendUlong(IOCTL_SMARTCARD_SET_PROTOCOL, SCARD_PROTOCOL_T1, 3)->status,
              STATUS_BUFFER_TOO_SMALL);
    std::vector<UCHAR> three{2, 0, 0, 0};
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_SET_PROTOCOL, &three, 3, 4)->status,
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(rig.calls.empty());

    rig.handler[RDF_SET_PROTOCOL] = [](PSMARTCARD_EXTENSION e) {
      e->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
      e->ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
      ULONG selected = SCARD_PROTOCOL_T1;
      std::memcpy(e->IoRequest.ReplyBuffer, &selected, sizeof selected);
      *e->IoRequest.Information = sizeof selected;
      return STATUS_SUCCESS;
    };
    std::vector<UCHAR> buffer;
    auto sent = rig.SendUlong(IOCTL_SMARTCARD_SET_PROTOCOL, SCARD_PROTOCOL_Tx, 8, &buffer);
    EXPECT_EQ(sent->status, STATUS_SUCCESS);
    EXPECT_EQ(sent->information, 4u);
    EXPECT_EQ(UlongAt(buffer), ULONG(SCARD_PROTOCOL_T1));
    ASSERT_EQ(rig.calls.size(), 1u);
    EXPECT_EQ(rig.calls[0].major, ULONG(IOCTL_SMARTCARD_SET_PROTOCOL));
    EXPECT_EQ(rig.calls[0].minor, ULONG(SCARD_PROTOCOL_Tx));
    EXPECT_EQ(rig.calls[0].reply_buffer, buffer.data());
    EXPECT_EQ(rig.calls[0].reply_length, 8u);

    // The answer is the driver's: one that forgets it hands back nothing, as on Windows.
    rig.handler[RDF_SET_PROTOCOL] = [](PSMARTCARD_EXTENSION) { return STATUS_SUCCESS; };
    sent = rig.SendUlong(IOCTL_SMARTCARD_SET_PROTOCOL, SCARD_PROTOCOL_Tx, 4, &buffer);
    EXPECT_EQ(sent->status, STATUS_SUCCESS);
    EXPECT_EQ(sent->information, 0u);
    EXPECT_EQ(UlongAt(buffer), ULONG(SCARD_PROTOCOL_Tx)) << "the mask, not the protocol in force";

    rig.handler[RDF_SET_PROTOCOL] = [](PSMARTCARD_EXTENSION) {
      return STATUS_INVALID_DEVICE_REQUEST;
    };
    sent = rig.SendUlong(IOCTL_SMARTCARD_SET_PROTOCOL, SCARD_PROTOCOL_T0, 4, &buffer);
    EXPECT_EQ(sent->status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(sent->information, 0u);
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Transmit, RefusesShortBuffersWrongStateAndAnotherProtocol) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    rig.SetState(SCARD_SPECIFIC);
    rig.e()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    auto b = Transmission(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0x02});
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_TRANSMIT, &b, 7, 64)->status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_TRANSMIT, &b, 13, 7)->status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_TRANSMIT, nullptr, 0, 0)->status, STATUS_INVALID_PARAMETER);
    auto t0 = Transmission(SCARD_PROTOCOL_T0, {0x00, 0xB0, 0x00, 0x00, 0x02});
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_TRANSMIT, &t0, 13, 64)->status, STATUS_INVALID_DEVICE_STATE);
    auto raw = Transmission(SCARD_PROTOCOL_RAW, {0x00});
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_TRANSMIT, &raw, 9, 64)->status, STATUS_INVALID_DEVICE_STATE);
    for (ULONG state :
         std::vector<ULONG>{SCARD_ABSENT, SCARD_SWALLOWED, SCARD_POWERED, SCARD_NEGOTIABLE}) {
      rig.SetState(state);
      EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_TRANSMIT, &b, 13, 64)->status, STATUS_INVALID_DEVICE_STATE)
          << state;
    }
    EXPECT_TRUE(rig.calls.empty());
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Transmit, HandsTheBuffersOverAndReportsWhatTheDriverReturned) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    rig.SetState(SCARD_SPECIFIC);
    rig.e()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    rig.handler[RDF_TRANSMIT] = [](PSMARTCARD_EXTENSION e) {
      auto& io = e->IoRequest;
      std::memmove(io.ReplyBuffer, io.RequestBuffer, sizeof(SCARD_IO_REQUEST));
      io.ReplyBuffer[8] = 0x61;
      io.ReplyBuffer[9] = 0x10;
      *io.Information = 10;
      return STATUS_SUCCESS;
    };
    auto b = Transmission(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x04, 0x00, 0x00}, 300);
    auto sent = rig.Send(IOCTL_SMARTCARD_TRANSMIT, &b, 13, 300);
    EXPECT_EQ(sent->status, STATUS_SUCCESS);
    EXPECT_EQ(sent->information, 10u);
    EXPECT_EQ(b[8], 0x61);
    EXPECT_EQ(UlongAt(b), ULONG(SCARD_PROTOCOL_T1));
    ASSERT_EQ(rig.calls.size(), 1u);
    auto& call = rig.calls[0];
    EXPECT_EQ(call.major, ULONG(IOCTL_SMARTCARD_TRANSMIT));
    EXPECT_EQ(call.request_buffer, b.data());
    EXPECT_EQ(call.request_length, 13u);
    EXPECT_EQ(call.request, Transmission(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x04, 0x00, 0x00}, 0));
    EXPECT_EQ(call.reply_buffer, b.data());
    EXPECT_EQ(call.reply_length, 300u);

    // A failure keeps the count the driver reported (the I/O manager copies nothing back).
    rig.handler[RDF_TRANSMIT] = [](PSMARTCARD_EXTENSION e) {
      *e->IoRequest.Information = 8;
      return STATUS_IO_TIMEOUT;
    };
    sent = rig.Send(IOCTL_SMARTCARD_TRANSMIT, &b, 13, 300);
    EXPECT_EQ(sent->status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(sent->returned, STATUS_IO_TIMEOUT);
    EXPECT_EQ(sent->information, 8u);
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Transmit, AT0DriverFormatsTheCommandThroughTheLibrary) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    rig.SetState(SCARD_SPECIFIC);
    rig.e()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    std::vector<UCHAR> formatted;
    rig.handler[RDF_TRANSMIT] = [&](PSMARTCARD_EXTENSION e) {
      e->SmartcardRequest.BufferLength = 0;
      NTSTATUS status = SmartcardT0Request(e);
      formatted.assign(e->SmartcardRequest.Buffer,
                       e->SmartcardRequest.Buffer + e->SmartcardRequest.BufferLength);
      return status;
    };
    auto b = Transmission(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x04, 0x00}, 64);
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_TRANSMIT, &b, 12, 64)->status, STATUS_SUCCESS);
    EXPECT_EQ(formatted, (std::vector<UCHAR>{0x00, 0xA4, 0x04, 0x00, 0x00}));
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(StateAndLastError, AnswerWithoutTheDriver) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    std::vector<UCHAR> out(4, 0);
    rig.SetState(SCARD_SWALLOWED);
    auto state = rig.Send(IOCTL_SMARTCARD_GET_STATE, &out, 0, 4);
    EXPECT_EQ(state->status, STATUS_SUCCESS);
    EXPECT_EQ(state->information, 4u);
    EXPECT_EQ(UlongAt(out), ULONG(SCARD_SWALLOWED));
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_GET_STATE, &out, 0, 3)->status, STATUS_BUFFER_TOO_SMALL);

    // The status of the request before, as often as asked.
    auto b = Transmission(SCARD_PROTOCOL_T1, {0x00});
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_TRANSMIT, &b, 9, 64)->status, STATUS_INVALID_DEVICE_STATE);
    for (int i = 0; i < 2; ++i) {
      out.assign(4, 0);
      auto last = rig.Send(IOCTL_SMARTCARD_GET_LAST_ERROR, &out, 0, 4);
      EXPECT_EQ(last->status, STATUS_SUCCESS);
      EXPECT_EQ(last->information, 4u);
      EXPECT_EQ(UlongAt(out), ULONG(STATUS_INVALID_DEVICE_STATE));
    }
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_GET_STATE, &out, 0, 4)->status, STATUS_SUCCESS);
    out.assign(4, 0xEE);
    rig.Send(IOCTL_SMARTCARD_GET_LAST_ERROR, &out, 0, 4);
    EXPECT_EQ(UlongAt(out), ULONG(STATUS_SUCCESS));
    EXPECT_EQ(rig.e()->LastError, ULONG(STATUS_SUCCESS));
    EXPECT_TRUE(rig.calls.empty());
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(OtherCodes, SlotsVendorCodesAndForeignCodes) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig bare(m, {});
    for (ULONG code : std::vector<ULONG>{IOCTL_SMARTCARD_EJECT, IOCTL_SMARTCARD_SWALLOW,
                                         IOCTL_SMARTCARD_CONFISCATE, IOCTL_SMARTCARD_GET_PERF_CNTR,
                                         SCARD_CTL_CODE(2048)}) {
      EXPECT_EQ(bare.Send(code, nullptr, 0, 0)->status, STATUS_NOT_SUPPORTED) << code;
    }
    bare.Close();

    Rig rig(m, {RDF_CARD_EJECT, RDF_READER_SWALLOW, RDF_CARD_CONFISCATE, RDF_IOCTL_VENDOR});
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_EJECT, nullptr, 0, 0)->status, STATUS_SUCCESS);
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_SWALLOW, nullptr, 0, 0)->status, STATUS_SUCCESS);
    EXPECT_EQ(rig.Send(IOCTL_SMARTCARD_CONFISCATE, nullptr, 0, 0)->status, STATUS_SUCCESS);
    ASSERT_EQ(rig.calls.size(), 3u);
    EXPECT_EQ(rig.calls[0].slot, ULONG(RDF_CARD_EJECT));
    EXPECT_EQ(rig.calls[1].slot, ULONG(RDF_READER_SWALLOW));
    EXPECT_EQ(rig.calls[2].slot, ULONG(RDF_CARD_CONFISCATE));
    EXPECT_EQ(rig.calls[2].major, ULONG(IOCTL_SMARTCARD_CONFISCATE));

    rig.handler[RDF_IOCTL_VENDOR] = [](PSMARTCARD_EXTENSION e) {
      if (e->IoRequest.ReplyBufferLength < 13) return STATUS_BUFFER_TOO_SMALL;
      std::memcpy(e->IoRequest.ReplyBuffer, "Vendor reply", 13);
      *e->IoRequest.Information = 12;
      return STATUS_SUCCESS;
    };
    std::vector<UCHAR> b{0x20, 0x10, 0x00};
    b.resize(20, 0);
    auto vendor = rig.Send(SCARD_CTL_CODE(2049), &b, 3, 20);
    EXPECT_EQ(vendor->status, STATUS_SUCCESS);
    EXPECT_EQ(vendor->information, 12u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.data())), "Vendor reply");
    auto& call = rig.calls.back();
    EXPECT_EQ(call.slot, ULONG(RDF_IOCTL_VENDOR));
    EXPECT_EQ(call.major, ULONG(SCARD_CTL_CODE(2049)));
    EXPECT_EQ(call.request, (std::vector<UCHAR>{0x20, 0x10, 0x00}));
    EXPECT_EQ(call.reply_length, 20u);
    size_t calls = rig.calls.size();

    // Not smart card requests at all, a smart card function the library does not know, and a
    // vendor function that does not use the system buffer.
    EXPECT_EQ(
        rig.Send(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), &b, 3, 20)
            ->status,
        STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(rig.Send(0x1B0004, &b, 3, 20)->status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(rig.Send(SCARD_CTL_CODE(100), &b, 3, 20)->status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(
        rig.Send(CTL_CODE(FILE_DEVICE_SMARTCARD, 2048, METHOD_NEITHER, FILE_ANY_ACCESS), &b, 3, 20)
            ->status,
        STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(rig.calls.size(), calls);
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Serialisation, ASecondRequestWaitsForTheReaderFunctionInProgress) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    rig.SetState(SCARD_POWERED);
    KEVENT entered, release;
    KeInitializeEvent(&entered, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    int inside = 0, most_inside = 0;
    rig.handler[RDF_CARD_POWER] = [&](PSMARTCARD_EXTENSION) {
      most_inside = std::max(most_inside, ++inside);
      KeSetEvent(&entered, 0, FALSE);
      KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
      --inside;
      return STATUS_SUCCESS;
    };
    rig.handler[RDF_SET_PROTOCOL] = [&](PSMARTCARD_EXTENSION) {
      most_inside = std::max(most_inside, ++inside);
      --inside;
      return STATUS_SUCCESS;
    };
    bool second_sent = false;
    std::shared_ptr<smclib_test::Sent> second;
    PKTHREAD second_thread = m.k.Spawn("second", [&] {
      KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, nullptr);
      second_sent = true;
      second = rig.SendUlong(IOCTL_SMARTCARD_SET_PROTOCOL, SCARD_PROTOCOL_T1, 4);
    });
    PKTHREAD releaser = m.k.Spawn("releaser", [&] {
      KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, nullptr);
      LARGE_INTEGER delay;
      delay.QuadPart = -10 * 1000 * 100;  // 100 ms
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      EXPECT_TRUE(second_sent);
      EXPECT_EQ(second, nullptr) << "the second request waits";
      KeSetEvent(&release, 0, FALSE);
    });
    auto first = rig.SendUlong(IOCTL_SMARTCARD_POWER, SCARD_COLD_RESET, 0);
    KeWaitForSingleObject(second_thread, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(releaser, Executive, KernelMode, FALSE, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->status, STATUS_SUCCESS);
    EXPECT_EQ(second->status, STATUS_SUCCESS);
    EXPECT_EQ(most_inside, 1);
    ASSERT_EQ(rig.calls.size(), 2u);
    EXPECT_EQ(rig.calls[0].slot, ULONG(RDF_CARD_POWER));
    EXPECT_NE(rig.calls[0].current_irp, rig.calls[1].current_irp);
    rig.Close();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

TEST(Verifier, CalledAtDispatchLevel) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    rig.handler[RDF_CARD_POWER] = [](PSMARTCARD_EXTENSION) { return STATUS_SUCCESS; };
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    rig.SendUlong(IOCTL_SMARTCARD_POWER, SCARD_COLD_RESET, 0);
  });
  EXPECT_EQ(r.outcome, Outcome::kBugCheck);
  EXPECT_NE(r.report.find("SmartcardDeviceControl"), std::string::npos) << r.report;
  EXPECT_NE(r.report.find("PASSIVE_LEVEL"), std::string::npos) << r.report;
}

TEST(Verifier, AReaderFunctionReportingMoreThanTheOutput) {
  Machine m;
  auto r = m.k.Run([&] {
    Rig rig(m);
    rig.handler[RDF_CARD_POWER] = [](PSMARTCARD_EXTENSION e) {
      *e->IoRequest.Information = 40;
      return STATUS_SUCCESS;
    };
    rig.SendUlong(IOCTL_SMARTCARD_POWER, SCARD_COLD_RESET, 33);
  });
  EXPECT_EQ(r.outcome, Outcome::kBugCheck);
  EXPECT_NE(r.report.find("more than its output buffer of 33"), std::string::npos) << r.report;
}
