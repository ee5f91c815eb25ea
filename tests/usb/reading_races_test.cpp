// The reading thread and the pipes against a second actor: a stop raced by a write, a write or a
// direct read raced by a selection that replaces the pipes, a read waiting when the converter is
// pulled out.
#include "driver_rig.h"

using namespace driver_test;
using namespace sim::converter;

namespace {

constexpr uint64_t kSeeds = 5;

// Waits for a spawned thread for at most `limit`; true when it ended.
bool Joined(PKTHREAD thread, Ticks limit) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -limit;
  return KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

}  // namespace

// A stop with the thread's transfer pending, and a write (which disables reading and cancels that
// transfer) just after the stop's signal: the thread must still see the stop, and the stop return
// at once rather than after the transfer's watchdog.
TEST(ReadingRaces, StopRacedByAWriteReturnsPromptly) {
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    for (bool write : {true, false}) {
      SCOPED_TRACE(write ? "stop, then a write" : "stop alone");
      OnStartedConverter(
          [&](DriverMachine& m, Converter& c) {
            c.SetLink();
            c.ext->Timeouts = {0, 0, 20, 0, 0};
            EXPECT_EQ(ReadIrp(c.fdo, 1).status, STATUS_TIMEOUT);  // reading on, transfer pending
            Sleep(Milliseconds(5));
            Ticks start = m.k.Now();
            Ticks stopped = 0;
            PKTHREAD stopper = m.k.Spawn("stopper", [&] {
              EXPECT_TRUE(StopReadingThread(c.fdo));
              stopped = m.k.Now();
            });
            Sleep(Milliseconds(1));
            if (write) {
              EXPECT_EQ(WriteIrp(c.fdo, {0x01, 0x02}).status, STATUS_SUCCESS);
            }
            ASSERT_TRUE(Joined(stopper, Seconds(60))) << "stop still waiting after 60 s";
            EXPECT_LT(stopped - start, Milliseconds(20));
            EXPECT_EQ(c.ext->ReaderThreadHandle, nullptr);
            // Started again, the thread reads.
            ASSERT_EQ(StartReadingThread(c.fdo), STATUS_SUCCESS);
            c.ext->Timeouts = {50, 50, 5000, 50, 50};
            c.rig.line().reader_end().Transmit({0x41, 0x42});
            EXPECT_EQ(ReadIrp(c.fdo, 2).data, std::vector<UCHAR>({0x41, 0x42}));
          },
          true, {}, seed);
      ASSERT_FALSE(HasFailure()) << "seed " << seed;
    }
  }
}

// A selection of a setting without an OUT pipe while a write waits for the converter (and a
// direct read with a setting without IN pipe): the request sees the new table, not the old.
TEST(ReadingRaces, WriteAndDirectReadRacedByASelectionSeeTheNewPipes) {
  for (bool read : {false, true}) {
    SCOPED_TRACE(read ? "direct read" : "write");
    sim::ConverterRigOptions options;
    // Setting 1 has only the pipe the request does not use.
    options.converter.layout = StandardLayout();
    options.converter.layout.settings[1].endpoints = {{read ? kDataOutEndpoint : kDataInEndpoint}};
    OnStartedConverter(
        [&](DriverMachine& m, Converter& c) {
          c.SetLink();
          IrpResult result;
          KeWaitForSingleObject(&c.ext->UsbMutex, Executive, KernelMode, FALSE, nullptr);
          PKTHREAD requester = m.k.Spawn("requester", [&] {
            result = read ? ReadIrp(c.fdo, 8) : WriteIrp(c.fdo, {0x01, 0x02, 0x03});
          });
          Sleep(Milliseconds(1));  // the request waits for UsbMutex
          USBD_INTERFACE_INFORMATION selection{};
          selection.AlternateSetting = 1;
          EXPECT_EQ(SelectInterface(c.fdo, c.ext->ConfigurationDescriptor, &selection),
                    STATUS_SUCCESS);
          EXPECT_EQ(BuildPipeTable(c.fdo), STATUS_SUCCESS);
          KeReleaseMutex(&c.ext->UsbMutex, FALSE);
          ASSERT_TRUE(Joined(requester, Seconds(10)));
          EXPECT_EQ(result.outcome(), IrpOutcome(STATUS_INVALID_HANDLE, 0));
        },
        !read, options);
    ASSERT_FALSE(HasFailure());
  }
}

// A read waiting on the queue when the converter is pulled out fails; it does not "succeed" with
// STATUS_TIMEOUT and no byte.
TEST(ReadingRaces, ReadWaitingWhenTheConverterIsPulledFails) {
  DriverMachine m;
  auto r = m.k.Run([&] {
    m.Load();
    Converter c(m, {}, true);  // Plug and Play starts it, and removes it when it is pulled out
    IrpResult waiting;
    Ticks ended = 0;
    PDEVICE_OBJECT device = c.fdo;
    m.io.ReferenceDevice(device);
    PKTHREAD reader = m.k.Spawn("reader", [&] {
      waiting = ReadIrp(device, 5);
      ended = m.k.Now();
    });
    Sleep(Milliseconds(100));
    Ticks pulled = m.k.Now();
    m.bus.Unplug(c.pdo);
    ASSERT_TRUE(Joined(reader, Seconds(10)));
    EXPECT_TRUE(waiting.status == STATUS_DEVICE_NOT_CONNECTED ||
                waiting.status == STATUS_DELETE_PENDING)
        << std::hex << waiting.status;
    EXPECT_EQ(waiting.information, 0u);
    EXPECT_LT(ended - pulled, Milliseconds(100));
    m.io.DereferenceDevice(device);
  });
  ASSERT_TRUE(r.ok()) << r.report;
}
