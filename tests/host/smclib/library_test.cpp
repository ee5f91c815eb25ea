// The library's state per device, its buffers, the remove lock, events and T=0 formatting.
#include "host/smclib/library.h"

#include <gtest/gtest.h>

#include <cstring>

#include "host/kernel/kernel.h"
#include "platform/rtl.h"
#include "platform/smclib.h"

using host::kernel::Kernel;
using host::kernel::Outcome;

TEST(SmartcardInitialize, AllocatesStateAndBuffersOfAtLeastTheMinimum) {
  Kernel k;
  auto r = k.Run([&] {
    SMARTCARD_EXTENSION e{};
    e.Version = SMCLIB_VERSION;
    e.SmartcardRequest.BufferSize = 512;
    e.SmartcardReply.BufferSize = 16;
    ASSERT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
    ASSERT_NE(e.OsData, nullptr);
    EXPECT_EQ(e.SmartcardRequest.BufferSize, 512u);
    EXPECT_EQ(e.SmartcardReply.BufferSize, 288u);
    EXPECT_EQ(k.pool().SizeOf(e.SmartcardRequest.Buffer), 512u);
    KIRQL irql;
    KeAcquireSpinLock(&e.OsData->SpinLock, &irql);  // initialised
    KeReleaseSpinLock(&e.OsData->SpinLock, irql);
    SmartcardExit(&e);
    EXPECT_EQ(e.OsData, nullptr);
    EXPECT_EQ(e.SmartcardRequest.Buffer, nullptr);
  });
  EXPECT_TRUE(r.ok()) << r.report;
}

TEST(SmartcardInitialize, RefusesAnOldLayout) {
  Kernel k;
  auto r = k.Run([&] {
    SMARTCARD_EXTENSION e{};
    e.Version = 0x50;
    EXPECT_EQ(SmartcardInitialize(&e), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(e.OsData, nullptr);
  });
  EXPECT_TRUE(r.ok()) << r.report;
}

TEST(SmartcardExit, StopsTheMachineWhenGivenALentBuffer) {
  Kernel k;
  UCHAR lent[32];
  auto r = k.Run([&] {
    SMARTCARD_EXTENSION e{};
    e.Version = SMCLIB_VERSION;
    ASSERT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
    e.SmartcardRequest.Buffer = lent;
    SmartcardExit(&e);
  });
  EXPECT_EQ(r.outcome, Outcome::kBugCheck);
  EXPECT_NE(r.report.find("SmartcardExit"), std::string::npos) << r.report;
}

TEST(RemoveLock, ReleasedMoreOftenThanAcquiredStopsTheMachine) {
  Kernel k;
  auto r = k.Run([&] {
    SMARTCARD_EXTENSION e{};
    e.Version = SMCLIB_VERSION;
    ASSERT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
    SmartcardReleaseRemoveLock(&e);
  });
  EXPECT_EQ(r.outcome, Outcome::kBugCheck);
}

TEST(RemoveLock, AReleaseOfATagNotHeldStopsAndALeakIsReportedByTag) {
  constexpr ULONG kOpen = host::kernel::MakeTag("Open"), kRead = host::kernel::MakeTag("Read");
  for (bool leak : {false, true}) {
    Kernel k;
    auto r = k.Run([&] {
      SMARTCARD_EXTENSION e{};
      e.Version = SMCLIB_VERSION;
      ASSERT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
      ASSERT_EQ(SmartcardAcquireRemoveLockWithTag(&e, kOpen), STATUS_SUCCESS);
      if (leak) SmartcardExit(&e);
      SmartcardReleaseRemoveLockWithTag(&e, kRead);
    });
    EXPECT_EQ(r.outcome, Outcome::kBugCheck);
    const char* expected =
        leak ? "SmartcardExit: the remove lock is still held (leaked): tag 'Open' x1"
             : "nothing acquired with tag 'Read' is held";
    EXPECT_NE(r.report.find(expected), std::string::npos) << r.report;
  }
}

TEST(SmartcardLogError, RecordsEventsForTheHost) {
  Kernel k;
  host::smclib::SmartcardLibrary library(k);
  int object = 0;
  auto r = k.Run([&] {
    UNICODE_STRING insertion;
    RtlInitUnicodeString(&insertion, u"COM9");
    SmartcardLogError(&object, (NTSTATUS)0xC0100003L, &insertion, 7);
    SmartcardLogError(&object, (NTSTATUS)0x40040009L, nullptr, 0);
    SmartcardSetDebugLevel(DEBUG_ALL);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  auto events = library.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].object, &object);
  EXPECT_EQ(events[0].code, (NTSTATUS)0xC0100003L);
  EXPECT_EQ(events[0].insertion, u"COM9");
  EXPECT_EQ(events[0].dump_word, 7u);
  EXPECT_TRUE(library.Logged((NTSTATUS)0x40040009L));
  EXPECT_EQ(library.debug_level(), ULONG(DEBUG_ALL));
  EXPECT_TRUE(k.debug_log().Contains("0xC0100003"));
}

class T0Formatting : public ::testing::Test {
 protected:
  void SetUp() override {
    request.assign(300, 0);
    reply_area.assign(64, 0);
    e.SmartcardRequest.Buffer = request.data();
    e.SmartcardRequest.BufferSize = 300;
    e.SmartcardReply.Buffer = reply_area.data();
    e.SmartcardReply.BufferSize = 64;
  }
  NTSTATUS Request(std::vector<uint8_t> apdu, ULONG header_length = 8) {
    io.assign(8, 0);
    SCARD_IO_REQUEST h{SCARD_PROTOCOL_T0, header_length};
    std::memcpy(io.data(), &h, sizeof(h));
    io.insert(io.end(), apdu.begin(), apdu.end());
    e.IoRequest.RequestBuffer = io.data();
    e.IoRequest.RequestBufferLength = ULONG(io.size());
    e.SmartcardRequest.BufferLength = 0;
    return SmartcardT0Request(&e);
  }
  static ULONG UlongOf(const std::vector<uint8_t>& bytes) {
    ULONG value;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
  }
  std::vector<uint8_t> Sent() {
    return {request.begin(), request.begin() + e.SmartcardRequest.BufferLength};
  }
  SMARTCARD_EXTENSION e{};
  std::vector<uint8_t> request, reply_area, io;
};

TEST_F(T0Formatting, TheFourCases) {
  EXPECT_EQ(Request({0x00, 0xA4, 0x04, 0x00}), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), (std::vector<uint8_t>{0x00, 0xA4, 0x04, 0x00, 0x00}));
  EXPECT_EQ(Request({0x00, 0xB0, 0x00, 0x00, 0x00}), STATUS_SUCCESS);
  EXPECT_EQ(e.T0.Le, 256u);
  EXPECT_EQ(Request({0x00, 0xD6, 0x00, 0x00, 0x02, 0x11, 0x22}), STATUS_SUCCESS);
  EXPECT_EQ(e.T0.Lc, 2u);
  EXPECT_EQ(Sent().size(), 7u);
  EXPECT_EQ(Request({0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x10}), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), (std::vector<uint8_t>{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}))
      << "Le is not sent in T=0";
  EXPECT_EQ(e.T0.Le, 16u);
}

TEST_F(T0Formatting, MalformedCommandsAreRefused) {
  EXPECT_EQ(Request({0x00, 0xA4, 0x04}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Request({0x00, 0xD6, 0x00, 0x00, 0x05, 0x11}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Request({0x00, 0xA4, 0x04, 0x00}, 4), STATUS_INVALID_PARAMETER) << "header length";
  e.SmartcardRequest.BufferSize = 4;
  EXPECT_EQ(Request({0x00, 0xA4, 0x04, 0x00}), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(T0Formatting, ReplyGoesBehindTheHeader) {
  reply_area[0] = 0x90;
  reply_area[1] = 0x00;
  e.SmartcardReply.BufferLength = 2;
  std::vector<uint8_t> out(16, 0xEE);
  ULONG information = 0;
  e.IoRequest.ReplyBuffer = out.data();
  e.IoRequest.ReplyBufferLength = ULONG(out.size());
  e.IoRequest.Information = &information;
  EXPECT_EQ(SmartcardT0Reply(&e), STATUS_SUCCESS);
  EXPECT_EQ(information, 10u);
  EXPECT_EQ(out[8], 0x90);
  e.IoRequest.ReplyBufferLength = 9;
  EXPECT_EQ(SmartcardT0Reply(&e), STATUS_BUFFER_TOO_SMALL);
}

// The routines SMCLIB.SYS exports beside those the driver calls: commands passed on unchanged,
// the inverse convention's byte order, and T=1, which the library leaves to the driver.
TEST_F(T0Formatting, RawCommandsPassUnchangedAndT1IsRefused) {
  io.assign(8, 0);
  SCARD_IO_REQUEST h{SCARD_PROTOCOL_RAW, 8};
  std::memcpy(io.data(), &h, sizeof(h));
  io.insert(io.end(), {0xFF, 0x00, 0x01});
  e.IoRequest.RequestBuffer = io.data();
  e.IoRequest.RequestBufferLength = ULONG(io.size());
  e.SmartcardRequest.BufferLength = 1;
  EXPECT_EQ(SmartcardRawRequest(&e), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), (std::vector<uint8_t>{0x00, 0xFF, 0x00, 0x01})) << "appended";
  e.SmartcardRequest.BufferSize = 5;
  EXPECT_EQ(SmartcardRawRequest(&e), STATUS_BUFFER_TOO_SMALL);

  reply_area[0] = 0x6A;
  reply_area[1] = 0x82;
  e.SmartcardReply.BufferLength = 2;
  std::vector<uint8_t> out(10, 0xEE);
  ULONG information = 0;
  e.IoRequest.ReplyBuffer = out.data();
  e.IoRequest.ReplyBufferLength = ULONG(out.size());
  e.IoRequest.Information = &information;
  EXPECT_EQ(SmartcardRawReply(&e), STATUS_SUCCESS);
  EXPECT_EQ(information, 10u);
  EXPECT_EQ(UlongOf(out), ULONG(SCARD_PROTOCOL_RAW));
  EXPECT_EQ(out[8], 0x6A);
  e.SmartcardReply.BufferLength = 3;
  EXPECT_EQ(SmartcardRawReply(&e), STATUS_BUFFER_TOO_SMALL) << "nothing past the output";

  UCHAR data[] = {0x03, 0xFF, 0x00};
  SmartcardInvertData(data, sizeof data);
  EXPECT_EQ(data[0], 0x3F);
  EXPECT_EQ(data[1], 0x00);
  EXPECT_EQ(data[2], 0xFF);

  EXPECT_EQ(SmartcardT1Request(&e), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SmartcardT1Reply(&e), STATUS_NOT_SUPPORTED);
}

// The event log takes what fits in one entry: an insertion too long for it is cut, not copied
// past the entry.
TEST(SmartcardLogError, ALongInsertionIsCutToTheEntry) {
  Kernel k;
  host::smclib::SmartcardLibrary library(k);
  int object = 0;
  std::u16string text(300, u'x');
  auto r = k.Run([&] {
    UNICODE_STRING insertion;
    insertion.Buffer = text.data();
    insertion.Length = insertion.MaximumLength = USHORT(text.size() * sizeof(char16_t));
    SmartcardLogError(&object, (NTSTATUS)0xC0100003L, &insertion, 0);
  });
  ASSERT_TRUE(r.ok()) << r.report;
  auto events = library.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_GT(events[0].insertion.size(), 40u);
  EXPECT_LT(events[0].insertion.size(), 76u) << "an entry of at most 152 bytes";
  EXPECT_EQ(events[0].insertion, std::u16string(events[0].insertion.size(), u'x'));
}
