// The device's life through the real entry points: plug-in, Plug and Play start, a session,
// close, removal; a removal during a transmission; opens by pipe name; nine converters and a tenth.
#include "sim/cards/builtin_card.h"
#include "tests/driver/stack_rig.h"

using namespace stack_test;

TEST(StackLifecycle, PlugInSessionCloseSurpriseRemovalAndRemovalLeaveNothing) {
  OnMachine(1, [](StackMachine& m) {
    {
      Plugged c(m);
      ASSERT_NE(c.ext, nullptr);
      EXPECT_EQ(c.node()->state, host::io::DeviceState::kStarted);
      EXPECT_EQ(c.name(), u"\\Device\\USBTESK0");
      EXPECT_TRUE(c.node()->capabilities.SurpriseRemovalOK);
      Session s(m);
      ASSERT_EQ(s.open_status, STATUS_SUCCESS);
      EXPECT_EQ(s.ColdReset().output.size(), 11u);  // the ATR
      EXPECT_EQ(c.rig.reader().ifsd(), 254);        // the link came up behind the start
      EXPECT_TRUE(s.StartSession());
      EXPECT_EQ(s.State(), ULONG(SCARD_SPECIFIC));
      EXPECT_EQ(s.Close(), STATUS_SUCCESS);
      host::io::DeviceNode* node = c.node();
      c.Unplug();
      std::vector<std::string> expected = {"IRP_MN_SURPRISE_REMOVAL STATUS_SUCCESS",
                                           "IRP_MN_REMOVE_DEVICE STATUS_SUCCESS"};
      ASSERT_GE(node->history.size(), 2u);
      EXPECT_EQ(std::vector<std::string>(node->history.end() - 2, node->history.end()), expected);
    }
    m.ExpectNothingLeft();
    EXPECT_EQ(m.io.UnloadDriver(m.driver), STATUS_SUCCESS);
  });
}

// The converter pulled out while the card works on a command: the transmission ends with an error
// at once, the handle closes, and the removal that waited for it leaves nothing. On Windows 98/Me
// the removal comes at once with the handle open and waits for its close.
TEST(StackLifecycle, RemovalWhileATransmissionIsInFlightEndsItWithAnError) {
  for (bool legacy : {false, true}) {
    SCOPED_TRACE(legacy ? "Windows 98/Me" : "Windows 2000 and later");
    auto removal = [](StackMachine& m) {
      {
        Plugged c(m);
        Session s(m);
        ASSERT_TRUE(s.StartSession());
        c.rig.card()->SetProcessingTime(sim::kInsSelect, Seconds(3));
        IoResult ended;
        PKTHREAD app = m.k.Spawn("application", [&] { ended = s.Transmit(kSelectMf); });
        Sleep(Milliseconds(500));
        Ticks pulled = m.k.Now();
        PKTHREAD pnp = m.k.Spawn("unplug", [&] { c.Unplug(); });
        KeWaitForSingleObject(app, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(ended.status, STATUS_IO_TIMEOUT);  // the link's "reader did not answer"
        EXPECT_LT(m.k.Now() - pulled, Seconds(1));
        EXPECT_EQ(s.ColdReset().status, STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(s.Close(), STATUS_SUCCESS);
        KeWaitForSingleObject(pnp, Executive, KernelMode, FALSE, nullptr);
        EXPECT_TRUE(m.io.IsDeleted(c.fdo));
      }
      m.ExpectNothingLeft();
    };
    OnMachine(1, removal, legacy ? host::io::IoOptions::Legacy() : host::io::IoOptions{});
  }
}

TEST(StackLifecycle, NineConvertersAreUsbtesk0To8AndATenthIsRefused) {
  OnMachine(1, [](StackMachine& m) {
    std::vector<std::unique_ptr<Plugged>> converters;
    for (int i = 0; i < 10; ++i) converters.push_back(std::make_unique<Plugged>(m));
    for (int i = 0; i < 9; ++i) {
      EXPECT_EQ(converters[i]->name(), u"\\Device\\USBTESK" + std::u16string(1, u'0' + i));
      EXPECT_EQ(converters[i]->node()->state, host::io::DeviceState::kStarted);
    }
    EXPECT_EQ(converters[9]->ext, nullptr);
    EXPECT_EQ(converters[9]->node()->state, host::io::DeviceState::kAddFailed);
    EXPECT_EQ(converters[9]->node()->last_status, STATUS_OBJECT_NAME_COLLISION);
    converters.clear();
    m.ExpectNothingLeft();
  });
}

// One handle at a time, on the device or a pipe by (a leading part of) its name, case sensitive.
TEST(StackLifecycle, OpensByPipeName) {
  OnMachine(1, [](StackMachine& m) {
    Plugged c(m);
    auto open = [&](std::u16string name) {
      return Session(m, c.interface_path() + name).open_status;
    };
    for (auto name : {u"\\PIPE02", u"\\pipe00", u"\\PIPE000"}) {
      EXPECT_EQ(open(name), STATUS_INSUFFICIENT_RESOURCES);
    }
    Session first(m, c.interface_path() + u"\\PIPE0");
    EXPECT_EQ(first.open_status, STATUS_SUCCESS);
    EXPECT_EQ(open(u"\\PIPE01"), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(open(u"\\PIPE02"), STATUS_UNSUCCESSFUL);
    first.Close();
    EXPECT_EQ(open(u"\\PIPE01"), STATUS_SUCCESS);
    EXPECT_EQ(open(u""), STATUS_SUCCESS);
  });
}
