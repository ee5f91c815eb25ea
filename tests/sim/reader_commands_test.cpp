// The reader's command set and the card slot, through the link.
#include <gtest/gtest.h>

#include "rig_helpers.h"
#include "sim/cards/scripted_card.h"
#include "sim/reader_protocol.h"

namespace sim {
namespace {

using host::kernel::Kernel;
using host::kernel::Milliseconds;
using host::kernel::Seconds;
using testing::Bytes;
using testing::Sleep;
using testing::WithRig;

std::vector<uint8_t> ReaderCommand(ReaderRig& rig, std::initializer_list<uint8_t> command) {
  auto reply = rig.host().Transceive(t1::kNadHostToReader, command);
  EXPECT_TRUE(reply.ok) << reply.error;
  EXPECT_EQ(reply.nad, t1::kNadReaderToHost);
  return reply.data;
}

std::vector<uint8_t> AtrAnd9001(std::vector<uint8_t> atr) {
  atr.push_back(0x90);
  atr.push_back(0x01);
  return atr;
}

const std::vector<uint8_t> kStatusAbsent{0x80, 0x01, 0x00, 0x90, 0x00};
const std::vector<uint8_t> kStatusPresent{0x80, 0x01, 0x01, 0x90, 0x00};
const std::vector<uint8_t> kStatusPowered{0x80, 0x01, 0x05, 0x90, 0x00};

TEST(ReaderCommands, ResetPowerOffAndStatus) {
  WithRig([](Kernel&, ReaderRig& rig) {
    ASSERT_TRUE(rig.BringUp());
    EXPECT_EQ(ReaderCommand(rig, {0x20, 0x13, 0x00, 0x80, 0x00}), kStatusPresent);
    EXPECT_EQ(ReaderCommand(rig, {0x20, 0x10, 0x01, 0x01}),
              AtrAnd9001(BuiltinCard::DualProtocolAtr()));
    EXPECT_TRUE(rig.reader().card_powered());
    EXPECT_EQ(ReaderCommand(rig, {0x20, 0x13, 0x00, 0x80, 0x00}), kStatusPowered);
    EXPECT_EQ(ReaderCommand(rig, {0x20, 0x14, 0x01, 0x00}), Bytes({0x90, 0x00}));
    EXPECT_EQ(ReaderCommand(rig, {0x20, 0x13, 0x00, 0x80, 0x00}), kStatusPresent);
    // An unpowered card cannot take commands: the reader answers for it.
    auto reply = rig.host().Transceive(t1::kNadHostToCard, {0x00, 0x84, 0x00, 0x00, 0x08});
    EXPECT_EQ(reply.nad, t1::kNadReaderToHost);
    EXPECT_EQ(reply.data, Bytes({0x64, 0xA1}));
    // Resetting the reader itself.
    EXPECT_EQ(ReaderCommand(rig, {0x20, 0x10, 0x01, 0x01}).size(), 13u);
    EXPECT_EQ(ReaderCommand(rig, {0x20, 0x10, 0x00, 0x00}), Bytes({0x90, 0x00}));
    EXPECT_FALSE(rig.reader().card_powered());
    // Unknown commands.
    EXPECT_EQ(ReaderCommand(rig, {0x30, 0x13, 0x00, 0x80, 0x00}), Bytes({0x6E, 0x00}));
    EXPECT_EQ(ReaderCommand(rig, {0x20, 0x11, 0x00, 0x00}), Bytes({0x6D, 0x00}));
    EXPECT_EQ(ReaderCommand(rig, {0x80, 0x61, 0x00, 0x00}), Bytes({0x6D, 0x00}));
    EXPECT_EQ(ReaderCommand(rig, {0x20, 0x10, 0x05, 0x01}), Bytes({0x6A, 0x86}));
    EXPECT_EQ(ReaderCommand(rig, {0x20}), Bytes({0x67, 0x00}));
  });
}

TEST(ReaderCommands, NoCardAndUnusableCard) {
  ReaderRigOptions options;
  options.insert_card = false;
  WithRig(
      [](Kernel&, ReaderRig& rig) {
        ASSERT_TRUE(rig.BringUp());
        EXPECT_EQ(ReaderCommand(rig, {0x20, 0x13, 0x00, 0x80, 0x00}), kStatusAbsent);
        EXPECT_EQ(ReaderCommand(rig, {0x20, 0x10, 0x01, 0x01}), Bytes({0x64, 0xA1}));
        auto reply = rig.host().Transceive(t1::kNadHostToCard, {0x00, 0xA4, 0x00, 0x0C});
        EXPECT_EQ(reply.nad, t1::kNadReaderToHost);
        EXPECT_EQ(reply.data, Bytes({0x64, 0xA1}));
        // A card without a usable ATR: present, reset answered 90 00, never powered.
        rig.reader().InsertCard(std::make_shared<ScriptedCard>(std::vector<uint8_t>{}));
        EXPECT_EQ(ReaderCommand(rig, {0x20, 0x10, 0x01, 0x01}), Bytes({0x90, 0x00}));
        EXPECT_EQ(ReaderCommand(rig, {0x20, 0x13, 0x00, 0x80, 0x00}), kStatusPresent);
      },
      options);
}

TEST(ReaderCommands, InsertionAndRemovalShowInGetStatus) {
  ReaderRigOptions options;
  options.insert_card = false;
  WithRig(
      [](Kernel& k, ReaderRig& rig) {
        ASSERT_TRUE(rig.BringUp());
        auto card = std::make_shared<BuiltinCard>();
        rig.reader().InsertCardAt(k.Now() + Seconds(1), card);
        rig.reader().RemoveCardAt(k.Now() + Seconds(3));
        EXPECT_EQ(ReaderCommand(rig, {0x20, 0x13, 0x00, 0x80, 0x00}), kStatusAbsent);
        Sleep(Seconds(1));
        EXPECT_EQ(ReaderCommand(rig, {0x20, 0x13, 0x00, 0x80, 0x00}), kStatusPresent);
        EXPECT_EQ(ReaderCommand(rig, {0x20, 0x10, 0x01, 0x01}).size(), 13u);
        EXPECT_EQ(ReaderCommand(rig, {0x20, 0x13, 0x00, 0x80, 0x00}), kStatusPowered);
        Sleep(Seconds(2));
        EXPECT_EQ(ReaderCommand(rig, {0x20, 0x13, 0x00, 0x80, 0x00}), kStatusAbsent);
        EXPECT_FALSE(rig.reader().card_present());
      },
      options);
}

TEST(ReaderCommands, ProtocolSelection) {
  WithRig([](Kernel&, ReaderRig& rig) {
    ASSERT_TRUE(rig.BringUp());
    // Before a reset there is no powered card.
    EXPECT_EQ(ReaderCommand(rig, {0x80, 0x60, 0x01, 0x00, 0x03, 0x22, 0x01, 0x02}),
              Bytes({0x64, 0xA1}));
    ReaderCommand(rig, {0x20, 0x10, 0x01, 0x01});
    EXPECT_EQ(ReaderCommand(rig, {0x80, 0x60, 0x01, 0x00, 0x03, 0x22, 0x01, 0x02}),
              Bytes({0x90, 0x00}));
    EXPECT_EQ(rig.reader().selected_protocol(), kProtocolT1);
    EXPECT_EQ(ReaderCommand(rig, {0x80, 0x60, 0x01, 0x00, 0x03, 0x22, 0x01, 0x01}),
              Bytes({0x90, 0x00}));
    EXPECT_EQ(rig.reader().selected_protocol(), kProtocolT0);
    EXPECT_EQ(ReaderCommand(rig, {0x80, 0x60, 0x01, 0x00, 0x03, 0x22, 0x01, 0x03}),
              Bytes({0x6A, 0x81}));
    EXPECT_EQ(ReaderCommand(rig, {0x80, 0x60, 0x01, 0x00, 0x03, 0x22, 0x01}), Bytes({0x67, 0x00}));
  });
}

TEST(ReaderCommands, T0OnlyCardAndAlternativeAcceptance) {
  ReaderRigOptions options;
  options.card.t0_only = true;
  options.reader.protocol_accepted_sw = kSwProtocolAcceptedAlt;
  WithRig(
      [](Kernel&, ReaderRig& rig) {
        ASSERT_TRUE(rig.BringUp());
        EXPECT_EQ(ReaderCommand(rig, {0x20, 0x10, 0x01, 0x01}),
                  AtrAnd9001(BuiltinCard::T0OnlyAtr()));
        EXPECT_EQ(ReaderCommand(rig, {0x80, 0x60, 0x01, 0x00, 0x03, 0x22, 0x01, 0x02}),
                  Bytes({0x6A, 0x81}));
        EXPECT_EQ(ReaderCommand(rig, {0x80, 0x60, 0x01, 0x00, 0x03, 0x22, 0x01, 0x01}),
                  Bytes({0x6A, 0x80}));
      },
      options);
}

TEST(ReaderCommands, MuteCardGives64A0) {
  ReaderRigOptions options;
  options.reader.card_timeout = Seconds(2);
  options.reader.wtx_enabled = false;
  WithRig(
      [](Kernel& k, ReaderRig& rig) {
        ASSERT_TRUE(rig.BringUp());
        ReaderCommand(rig, {0x20, 0x10, 0x01, 0x01});
        rig.card()->SetProcessingTime(kInsGetChallenge, Seconds(30));
        auto start = k.Now();
        auto reply = rig.host().Transceive(t1::kNadHostToCard, {0x00, 0x84, 0x00, 0x00, 0x08});
        EXPECT_EQ(reply.nad, t1::kNadReaderToHost);
        EXPECT_EQ(reply.data, Bytes({0x64, 0xA0}));
        EXPECT_LT(k.Now() - start, Seconds(3));
        // A scripted card that stays silent gives the same.
        auto silent = std::make_shared<ScriptedCard>(BuiltinCard::DualProtocolAtr());
        silent->Expect({0x00, 0xB0, 0x00, 0x00, 0x04}, {});
        rig.reader().InsertCard(silent);
        ReaderCommand(rig, {0x20, 0x10, 0x01, 0x01});
        reply = rig.host().Transceive(t1::kNadHostToCard, {0x00, 0xB0, 0x00, 0x00, 0x04});
        EXPECT_EQ(reply.data, Bytes({0x64, 0xA0}));
      },
      options);
}

TEST(ReaderCommands, BuiltinCardThroughTheReader) {
  WithRig([](Kernel&, ReaderRig& rig) {
    ASSERT_TRUE(rig.BringUp());
    ReaderCommand(rig, {0x20, 0x10, 0x01, 0x01});
    auto card = [&](std::initializer_list<uint8_t> apdu) {
      auto reply = rig.host().Transceive(t1::kNadHostToCard, apdu);
      EXPECT_TRUE(reply.ok) << reply.error;
      EXPECT_EQ(reply.nad, t1::kNadCardToHost);
      return reply.data;
    };
    EXPECT_EQ(card({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}), Bytes({0x90, 0x00}));
    EXPECT_EQ(card({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x12, 0x34}), Bytes({0x6A, 0x82}));
    auto fci = card({0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x01});
    ASSERT_EQ(fci.size(), 2u);
    EXPECT_EQ(fci[0], 0x61);
    auto response = card({0x00, 0xC0, 0x00, 0x00, fci[1]});
    ASSERT_EQ(response.size(), size_t(fci[1]) + 2);
    EXPECT_EQ(response[0], 0x62);  // FCI template
    auto data = card({0x00, 0xB0, 0x00, 0x00, 0x00});
    std::string text(data.begin(), data.end() - 2);
    EXPECT_EQ(text, kBuiltinEfData);
    EXPECT_EQ(data[data.size() - 2], 0x62);  // file shorter than 256: 62 82
    auto challenge = card({0x00, 0x84, 0x00, 0x00, 0x08});
    EXPECT_EQ(challenge.size(), 10u);
    EXPECT_NE(card({0x00, 0x84, 0x00, 0x00, 0x08}), challenge);
  });
}

}  // namespace
}  // namespace sim
