#include "tests/support/link_bench.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "reader/reader_binding.h"

namespace test_support {
namespace {

// The device object of a test driver with the extension at the head of its device extension.
PDEVICE_OBJECT CreateBenchDevice(PDRIVER_OBJECT driver) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(SMARTCARD_EXTENSION), nullptr,
                                   FILE_DEVICE_SMARTCARD, 0, TRUE, &device);
  EXPECT_EQ(status, STATUS_SUCCESS);
  if (device) device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
  return device;
}

}  // namespace

host::kernel::RunResult RunWithLink(const std::function<void(LinkBench&)>& body, uint64_t seed,
                                    UCHAR ifsc) {
  return RunWithLink(LinkBenchOptions{.seed = seed, .ifsc = ifsc}, body);
}

host::kernel::RunResult RunWithLink(const LinkBenchOptions& options,
                                    const std::function<void(LinkBench&)>& body) {
  host::kernel::Kernel k(host::kernel::KernelOptions{.seed = options.seed});
  std::optional<host::io::IoManager> io;
  if (options.device) io.emplace(k);
  host::smclib::SmartcardLibrary library(k);
  return k.Run([&] {
    LinkBench bench;
    std::unique_ptr<SMARTCARD_EXTENSION> own_extension;
    if (options.device) {
      bench.io = &*io;
      bench.driver = io->CreateHostDriver(u"\\Driver\\LinkBench");
      bench.device = CreateBenchDevice(bench.driver);
      ASSERT_NE(bench.device, nullptr);
      bench.extension = static_cast<PSMARTCARD_EXTENSION>(bench.device->DeviceExtension);
    } else {
      own_extension = std::make_unique<SMARTCARD_EXTENSION>();
      std::memset(own_extension.get(), 0, sizeof(SMARTCARD_EXTENSION));
      bench.extension = own_extension.get();
    }
    TestSerialLine line(bench.extension);
    NTSTATUS status = CreateReaderBinding(bench.device, bench.extension, TestSerialLine::SerialIo);
    ASSERT_EQ(status, STATUS_SUCCESS);
    bench.reader = bench.extension->ReaderExtension;
    bench.line = &line;
    bench.reader->Ifsc = options.ifsc;
    body(bench);
    if (options.device) ReleaseReaderBinding(bench.extension);
    DeleteReaderBinding(bench.extension);
    if (bench.device) IoDeleteDevice(bench.device);
  });
}

}  // namespace test_support
