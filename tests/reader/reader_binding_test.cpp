// Binding a device's smart card extension to the library, and undoing it.
#include "reader/reader_binding.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "host/io/io_manager.h"
#include "host/kernel/kernel.h"
#include "host/smclib/library.h"

using host::kernel::Kernel;
using host::kernel::KernelOptions;
using host::kernel::MakeTag;

namespace {

NTSTATUS NoSerial(PSMARTCARD_EXTENSION) { return STATUS_SUCCESS; }

std::unique_ptr<SMARTCARD_EXTENSION> NewExtension() {
  auto e = std::make_unique<SMARTCARD_EXTENSION>();
  std::memset(e.get(), 0, sizeof(SMARTCARD_EXTENSION));
  return e;
}

std::string AttrString(const SCARD_ATTR_STRING& s) {
  return std::string(reinterpret_cast<const char*>(s.Buffer), s.Length);
}

}  // namespace

TEST(CreateReaderBinding, FillsAttributesCapabilitiesSlotsAndLinkDefaults) {
  Kernel k;
  host::io::IoManager io(k);  // releasing the binding completes requests
  host::smclib::SmartcardLibrary library(k);
  auto r = k.Run([&] {
    auto e = NewExtension();
    ASSERT_EQ(CreateReaderBinding(nullptr, e.get(), NoSerial), STATUS_SUCCESS);
    EXPECT_EQ(k.pool().Stats(MakeTag("SC7Q")).outstanding_blocks, 1u);
    EXPECT_EQ(e->Version, 0x150u);
    EXPECT_EQ(AttrString(e->VendorAttr.VendorName), std::string("ZARIK Systems", 14));
    EXPECT_EQ(e->VendorAttr.VendorName.Length, 14);
    EXPECT_EQ(AttrString(e->VendorAttr.IfdType), std::string("Z7 Ira DUR", 11));
    EXPECT_EQ(e->VendorAttr.IfdType.Length, 11);
    ULONG version;
    std::memcpy(&version, &e->VendorAttr.IfdVersion, sizeof(version));
    EXPECT_EQ(version, 0x0092003Du);
    EXPECT_EQ(e->VendorAttr.UnitNo, 0u);
    EXPECT_EQ(e->VendorAttr.IfdSerialNo.Length, 0);

    const auto& caps = e->ReaderCapabilities;
    EXPECT_EQ(caps.SupportedProtocols, 3u);
    EXPECT_EQ(caps.CurrentState, ULONG(SCARD_ABSENT));
    EXPECT_EQ(caps.CLKFrequency.Default, 5000u);
    EXPECT_EQ(caps.CLKFrequency.Max, 5000u);
    EXPECT_EQ(caps.DataRate.Default, 9600u);
    EXPECT_EQ(caps.DataRate.Max, 9600u) << "not the top of the supported list";
    ASSERT_EQ(caps.DataRatesSupported.Entries, 6);
    EXPECT_EQ(caps.DataRatesSupported.List[5], 115200u);
    EXPECT_EQ(caps.MaxIFSD, 254u);
    EXPECT_EQ(caps.ReaderType, 0u);
    EXPECT_EQ(caps.Channel, 0u);

    for (int slot = 0; slot < RDF_MAXIMUM; ++slot) {
      bool installed = slot == RDF_CARD_POWER || slot == RDF_TRANSMIT ||
                       slot == RDF_CARD_TRACKING || slot == RDF_SET_PROTOCOL ||
                       slot == RDF_IOCTL_VENDOR;
      EXPECT_EQ(e->ReaderFunction[slot] != nullptr, installed) << "slot " << slot;
    }

    PREADER_EXTENSION rx = e->ReaderExtension;
    EXPECT_EQ(rx->SerialIoRoutine, NoSerial);
    EXPECT_EQ(rx->LinkBaudRate.BaudRate, 9600u);
    EXPECT_EQ(rx->LinkLineControl.StopBits, 0);
    EXPECT_EQ(rx->LinkLineControl.Parity, 2);
    EXPECT_EQ(rx->LinkLineControl.WordLength, 8);
    EXPECT_EQ(rx->LinkTimeouts.ReadIntervalTimeout, 50u);
    EXPECT_EQ(rx->LinkTimeouts.ReadTotalTimeoutMultiplier, 50u);
    EXPECT_EQ(rx->LinkTimeouts.ReadTotalTimeoutConstant, 10000u);
    EXPECT_EQ(rx->LinkTimeouts.WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(rx->LinkTimeouts.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(rx->LinkChars.BreakChar, 0xFF);
    EXPECT_EQ(rx->LinkHandflow.FlowReplace, 0x80000000u);
    EXPECT_EQ(rx->BlockWaitingTime, 5000u);
    EXPECT_EQ(rx->CharWaitingTime, 500u);
    EXPECT_EQ(rx->LinkState, 0u);
    EXPECT_EQ(rx->Ifsc, 0);
    EXPECT_EQ(rx->SavedReply.Buffer, e->SmartcardReply.Buffer);
    EXPECT_EQ(rx->SavedReply.BufferSize, 288u);
    EXPECT_EQ(rx->SavedRequest.Buffer, e->SmartcardRequest.Buffer);
    EXPECT_EQ(rx->SavedRequest.BufferSize, 288u);

    EXPECT_EQ(ReleaseReaderBinding(e.get()), STATUS_SUCCESS);
    EXPECT_EQ(DeleteReaderBinding(e.get()), STATUS_SUCCESS);
    EXPECT_EQ(e->ReaderExtension, nullptr);
    EXPECT_EQ(e->OsData, nullptr);
  });
  EXPECT_TRUE(r.ok()) << r.report;
}

// Allocation 1 is the reader block, 2 the library's state, 3 and 4 its buffers.
TEST(CreateReaderBinding, OutOfPoolLogsTheEventThatSaysHowFarItGot) {
  struct Case {
    uint64_t failing;
    NTSTATUS event;
    bool reader_block;
    bool os_data;
  };
  for (Case c : {Case{1, READER_EVENT_NO_READER_BLOCK, false, false},
                 Case{2, READER_EVENT_NO_READER_BLOCK, true, false},
                 Case{3, READER_EVENT_INIT_FAILED, true, true}}) {
    Kernel k;
    host::io::IoManager io(k);  // releasing the binding completes requests
    host::smclib::SmartcardLibrary library(k);
    auto r = k.Run([&] {
      auto e = NewExtension();
      k.pool().FailNth(c.failing);
      EXPECT_EQ(CreateReaderBinding(nullptr, e.get(), NoSerial), STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(e->ReaderExtension != nullptr, c.reader_block);
      EXPECT_EQ(e->OsData != nullptr, c.os_data);
      EXPECT_TRUE(library.Logged(c.event)) << "allocation " << c.failing;
      EXPECT_EQ(library.Events().size(), 1u);
      EXPECT_EQ(e->ReaderFunction[RDF_TRANSMIT], nullptr);
      EXPECT_EQ(e->VendorAttr.VendorName.Length, 0);
      ReleaseReaderBinding(e.get());
      DeleteReaderBinding(e.get());
    });
    EXPECT_TRUE(r.ok()) << r.report;  // nothing left in pool
  }
}

TEST(DeleteReaderBinding, HandsTheLibraryItsOwnBuffersAfterALend) {
  Kernel k;
  auto r = k.Run([&] {
    auto e = NewExtension();
    ASSERT_EQ(CreateReaderBinding(nullptr, e.get(), NoSerial), STATUS_SUCCESS);
    e->SmartcardRequest.Buffer = e->ReaderExtension->CommandBuffer;
    e->SmartcardRequest.BufferSize = COMMAND_BUFFER_SIZE;
    e->SmartcardReply.Buffer = e->ReaderExtension->CommandBuffer;
    DeleteReaderBinding(e.get());  // the library stops the machine if it gets a lent buffer
  });
  EXPECT_TRUE(r.ok()) << r.report;
}

TEST(ReleaseReaderBinding, WaitsForTheLastOpenHandle) {
  Kernel k;
  host::io::IoManager io(k);  // releasing the binding completes requests
  auto r = k.Run([&] {
    auto e = NewExtension();
    ASSERT_EQ(CreateReaderBinding(nullptr, e.get(), NoSerial), STATUS_SUCCESS);
    ASSERT_EQ(AcquireOpenReference(e.get()), STATUS_SUCCESS);
    k.Spawn("close", [&] {
      LARGE_INTEGER d;
      d.QuadPart = -host::kernel::Seconds(1);
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      ReleaseOpenReference(e.get());
    });
    ReleaseReaderBinding(e.get());
    EXPECT_EQ(k.Now(), host::kernel::Seconds(1));
    EXPECT_EQ(AcquireOpenReference(e.get()), STATUS_DELETE_PENDING);
    // A second release (a removal after a surprise removal) neither waits nor drops a reference.
    ReleaseReaderBinding(e.get());
    EXPECT_EQ(e->ReaderExtension->OpenReferences, 0);
    DeleteReaderBinding(e.get());
  });
  EXPECT_TRUE(r.ok()) << r.report;
}

// An open racing the removal, at every interleaving the seeds draw: either the open is refused,
// or the removal waits for its close; never a handle left open past the removal.
TEST(ReleaseReaderBinding, AnOpenRacingTheRemovalIsRefusedOrWaitedFor) {
  int refused = 0, waited = 0;
  auto results = host::kernel::RunSeeds(40, [&](uint64_t seed) {
    Kernel k(KernelOptions{.seed = seed});
    host::io::IoManager io(k);
    return k.Run([&] {
      auto e = NewExtension();
      ASSERT_EQ(CreateReaderBinding(nullptr, e.get(), NoSerial), STATUS_SUCCESS);
      bool open = false, closed = false, done = false;
      k.Spawn("open", [&] {
        k.Yield();
        if (AcquireOpenReference(e.get()) == STATUS_SUCCESS) {
          open = true;
          k.Yield();
          closed = true;
          ReleaseOpenReference(e.get());
        }
        done = true;
      });
      k.Yield();
      ReleaseReaderBinding(e.get());
      EXPECT_EQ(open, closed) << "seed " << seed << ": a handle outlived the removal";
      ++(open ? waited : refused);
      EXPECT_EQ(AcquireOpenReference(e.get()), STATUS_DELETE_PENDING) << "seed " << seed;
      while (!done) k.Yield();
      DeleteReaderBinding(e.get());
    });
  });
  for (size_t i = 0; i < results.size(); ++i) {
    EXPECT_TRUE(results[i].ok()) << "seed " << i + 1 << ": " << results[i].report;
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(waited, 0);
}

TEST(FindFreeUnitNo, TheNewDeviceNeverBlocksANumberItself) {
  Kernel k;
  auto r = k.Run([&] {
    auto e = NewExtension();
    e->VendorAttr.UnitNo = 0;
    EXPECT_EQ(FindFreeUnitNo(nullptr, e.get()), 0u);
  });
  EXPECT_TRUE(r.ok()) << r.report;
}

// Devices of one driver, each carrying a smart card extension at the head of its extension, as
// the driver's own devices do.
TEST(CreateReaderBinding, UnitNumbersAreTheLowestFreeAmongTheDriversDevices) {
  Kernel k;
  host::io::IoManager io(k);
  host::smclib::SmartcardLibrary library(k);
  auto r = k.Run([&] {
    PDRIVER_OBJECT driver = io.CreateHostDriver(u"\\Driver\\Units");
    PDRIVER_OBJECT other_driver = io.CreateHostDriver(u"\\Driver\\Other");
    auto add = [&](PDRIVER_OBJECT owner) {
      PDEVICE_OBJECT device = nullptr;
      EXPECT_EQ(IoCreateDevice(owner, sizeof(SMARTCARD_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD,
                               0, TRUE, &device),
                STATUS_SUCCESS);
      auto* e = static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
      EXPECT_EQ(CreateReaderBinding(device, e, NoSerial), STATUS_SUCCESS);
      return device;
    };
    auto unit = [](PDEVICE_OBJECT d) {
      return static_cast<PSMARTCARD_EXTENSION>(d->DeviceExtension)->VendorAttr.UnitNo;
    };
    auto remove = [](PDEVICE_OBJECT d) {
      auto* e = static_cast<PSMARTCARD_EXTENSION>(d->DeviceExtension);
      ReleaseReaderBinding(e);
      DeleteReaderBinding(e);
      IoDeleteDevice(d);
    };
    PDEVICE_OBJECT first = add(driver);
    PDEVICE_OBJECT second = add(driver);
    PDEVICE_OBJECT third = add(driver);
    EXPECT_EQ(unit(first), 0u);
    EXPECT_EQ(unit(second), 1u);
    EXPECT_EQ(unit(third), 2u);
    // Another driver's devices do not take numbers from this one.
    PDEVICE_OBJECT foreign = add(other_driver);
    EXPECT_EQ(unit(foreign), 0u);
    // With 0 and 2 held, the next one gets 1; with 0, 1 and 2 held, it gets 3.
    remove(second);
    PDEVICE_OBJECT fourth = add(driver);
    EXPECT_EQ(unit(fourth), 1u);
    PDEVICE_OBJECT fifth = add(driver);
    EXPECT_EQ(unit(fifth), 3u);
    for (PDEVICE_OBJECT d : {first, third, fourth, fifth, foreign}) remove(d);
  });
  EXPECT_TRUE(r.ok()) << r.report;
}

// On a legacy platform the library names the reader's link; removal frees that name.
TEST(DeleteReaderBinding, FreesTheLinkNameTheLibraryMade) {
  Kernel k;
  host::io::IoManager io(k, host::io::IoOptions::Legacy());
  host::smclib::SmartcardLibrary library(k);
  auto r = k.Run([&] {
    PDRIVER_OBJECT driver = io.CreateHostDriver(u"\\Driver\\Legacy");
    UNICODE_STRING device_name;
    RtlInitUnicodeString(&device_name, u"\\Device\\USBTESK0");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(SMARTCARD_EXTENSION), &device_name,
                             FILE_DEVICE_SMARTCARD, 0, TRUE, &device),
              STATUS_SUCCESS);
    auto* e = static_cast<PSMARTCARD_EXTENSION>(device->DeviceExtension);
    ASSERT_EQ(CreateReaderBinding(device, e, NoSerial), STATUS_SUCCESS);
    ASSERT_EQ(SmartcardCreateLink(&e->ReaderExtension->LegacyLinkName, &device_name),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Resolve(u"\\DosDevices\\SCReader0"), device);
    IoDeleteSymbolicLink(&e->ReaderExtension->LegacyLinkName);
    ReleaseReaderBinding(e);
    DeleteReaderBinding(e);
    IoDeleteDevice(device);
  });
  EXPECT_TRUE(r.ok()) << r.report;
}
