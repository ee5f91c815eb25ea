#include "tests/support/link_bench.h"

#include <gtest/gtest.h>

#include <cstring>

#include "reader/reader_binding.h"

namespace test_support {

host::kernel::RunResult RunWithLink(const std::function<void(LinkBench&)>& body, uint64_t seed,
                                    UCHAR ifsc) {
  host::kernel::Kernel k(host::kernel::KernelOptions{.seed = seed});
  host::smclib::SmartcardLibrary library(k);
  return k.Run([&] {
    auto extension = std::make_unique<SMARTCARD_EXTENSION>();
    std::memset(extension.get(), 0, sizeof(SMARTCARD_EXTENSION));
    TestSerialLine line(extension.get());
    NTSTATUS status = CreateReaderBinding(nullptr, extension.get(), TestSerialLine::SerialIo);
    ASSERT_EQ(status, STATUS_SUCCESS);
    LinkBench bench{extension.get(), extension->ReaderExtension, &line};
    bench.reader->Ifsc = ifsc;
    body(bench);
    DeleteReaderBinding(extension.get());
  });
}

}  // namespace test_support
