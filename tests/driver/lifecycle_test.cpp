// The device's life through the real entry points: plugged in, started by the Plug and Play
// manager, opened by an application for a session, closed, pulled out, removed, with nothing of
// the driver left; nine converters and a tenth.
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
      EXPECT_EQ(c.rig.reader().ifsd(), 254);  // the link came up at the start
      {
        Session s(m);
        ASSERT_EQ(s.open_status, STATUS_SUCCESS);
        IoResult atr = s.ColdReset();
        EXPECT_EQ(atr.status, STATUS_SUCCESS);
        EXPECT_EQ(atr.output.size(), 11u);
        EXPECT_EQ(s.SelectT1().status, STATUS_SUCCESS);
        IoResult answer = s.Transmit(kSelectMf);
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        EXPECT_EQ(answer.output, kSwOk);
        EXPECT_EQ(s.State(), ULONG(SCARD_SPECIFIC));
        EXPECT_EQ(s.Close(), STATUS_SUCCESS);
      }
      host::io::DeviceNode* node = c.node();
      c.Unplug();
      std::vector<std::string> expected = {"IRP_MN_SURPRISE_REMOVAL STATUS_SUCCESS",
                                           "IRP_MN_REMOVE_DEVICE STATUS_SUCCESS"};
      auto& history = node->history;
      ASSERT_GE(history.size(), 2u);
      EXPECT_EQ(std::vector<std::string>(history.end() - 2, history.end()), expected);
    }
    m.ExpectNothingLeft();
    EXPECT_EQ(m.io.UnloadDriver(m.driver), STATUS_SUCCESS);
  });
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
    // Each is a reader of its own: a session on the last one.
    Session s(m, u"\\Device\\USBTESK8");
    EXPECT_TRUE(s.StartSession());
    s.Close();
    converters.clear();
    m.ExpectNothingLeft();
  });
}
