// The reader asking for a new IFS while the host is in the middle of a chained command.
#include <gtest/gtest.h>

#include "rig_helpers.h"

namespace sim {
namespace {

using host::kernel::Kernel;

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

}  // namespace
}  // namespace sim
