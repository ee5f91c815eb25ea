// The reader's link in situations its first tests leave out: an S(IFS request) in the middle of
// the host's chain, the host's I-block lost, characters thrown away for their errors.
#include <gtest/gtest.h>

#include "rig_helpers.h"
#include "sim/blocking_port.h"

namespace sim {
namespace {

using host::kernel::Kernel;
using host::kernel::Milliseconds;
using host::kernel::Seconds;
using testing::Bytes;
using Status = T1Host::Received::Status;

TEST(ReaderLink, IfsRequestInTheHostsChainAcknowledgesTheBlockInFlightAfterwards) {
  testing::WithRig([](Kernel&, ReaderRig& rig) {
    ASSERT_TRUE(rig.BringUp());
    rig.reader().RequestIfsInNextHostChain(16);
    std::vector<uint8_t> command = {0x00, 0xA4, 0x00, 0x0C, 0xFF};
    command.resize(command.size() + 0xFF, 0x5A);  // 260 bytes: 254, then the rest
    auto reply = rig.host().Transceive(t1::kNadHostToCard, command);
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_EQ(reply.data, testing::Bytes({0x64, 0xA1}));  // no card powered
    EXPECT_EQ(rig.reader().ifsc(), 16);
    EXPECT_EQ(rig.host().ifsc, 16);

    std::vector<std::string> lines;
    for (const DecodedBlock& b : rig.trace().Blocks()) lines.push_back(DescribeBlock(b));
    // After the bring-up: I(0,more) with 254 bytes, the reader's S(IFS request), the host's
    // response, the acknowledgement of the first block, then 6 bytes in one block of 16 at most.
    ASSERT_GE(lines.size(), 10u);
    EXPECT_NE(lines[4].find("host->reader 02 20 FE"), std::string::npos) << lines[4];
    EXPECT_NE(lines[5].find("reader->host 00 C1 01 10 D0"), std::string::npos) << lines[5];
    EXPECT_NE(lines[6].find("host->reader 00 E1 01 10 F0"), std::string::npos) << lines[6];
    EXPECT_NE(lines[7].find("reader->host 00 90 00 90"), std::string::npos) << lines[7];
    EXPECT_NE(lines[8].find("host->reader 02 40 06"), std::string::npos) << lines[8];
  });
}

// The host's R-block asks for the N(S) after the reader's last I-block: the host has that block,
// so its own I-block got lost, and the reader asks for it instead of repeating its answer.
TEST(ReaderLink, RBlockAfterTheHostsLostIBlockAsksForThatBlock) {
  testing::WithRig([](Kernel&, ReaderRig& rig) {
    ASSERT_TRUE(rig.BringUp());
    T1Host& host = rig.host();
    ASSERT_TRUE(host.Transceive(t1::kNadHostToReader, {0x20, 0x13, 0x00, 0x80, 0x00}).ok);
    host.SendRaw(Bytes({0x00, 0x92, 0x00, 0x92}));  // R(1, other error)
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).bytes, Bytes({0x00, 0x92, 0x00, 0x92}));
    // Asking for the reader's last I-block again still repeats it.
    host.SendRaw(Bytes({0x00, 0x82, 0x00, 0x82}));  // R(0, other error)
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).bytes,
              Bytes({0x21, 0x00, 0x05, 0x80, 0x01, 0x01, 0x90, 0x00, 0x34}));

    // Right after a resynchronisation there is no I-block to repeat, nor the S response.
    ASSERT_TRUE(host.Resynch());
    host.SendRaw(Bytes({0x00, 0x82, 0x00, 0x82}));
    EXPECT_EQ(host.ReceiveBlock(Seconds(1)).bytes, Bytes({0x00, 0x82, 0x00, 0x82}));
  });
}

TEST(BlockingPort, DiscardsCharactersWithParityOrFramingErrorsWhenAsked) {
  Kernel k;
  auto r = k.Run([&] {
    SerialLine line(k);
    BlockingPort port(line.converter_end());
    UartSettings odd = kLinkSettings;
    odd.parity = Parity::kOdd;
    line.converter_end().Configure(odd);
    line.reader_end().Transmit({0x01, 0x02, 0x03});
    EXPECT_EQ(port.Receive(3, Milliseconds(10)), Bytes({0x01, 0x02, 0x03}));  // kept
    EXPECT_EQ(port.error_count(), 3u);
    port.set_discard_damaged(true);
    line.reader_end().Transmit({0x01, 0x02, 0x03});
    EXPECT_TRUE(port.Receive(3, Milliseconds(10)).empty());
    EXPECT_EQ(port.error_count(), 6u);
    line.converter_end().Configure(kLinkSettings);
    line.reader_end().Transmit({0x04});
    EXPECT_EQ(port.Receive(1, Milliseconds(10)), Bytes({0x04}));  // intact ones still arrive
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

}  // namespace
}  // namespace sim
