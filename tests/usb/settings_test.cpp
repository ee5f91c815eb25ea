// Descriptors, the configuration and the interface setting chosen for a rate: what the converter
// ends up with and the pipe table the driver builds from it.
#include "driver_rig.h"

using namespace driver_test;
using namespace sim::converter;

namespace {

sim::ConverterRigOptions WithLayout(DescriptorLayout layout) {
  sim::ConverterRigOptions options;
  options.converter.layout = std::move(layout);
  return options;
}

// Settings given as lists of (endpoint, bInterval).
DescriptorLayout Layout(std::vector<std::vector<EndpointLayout>> settings) {
  DescriptorLayout layout;
  for (auto& endpoints : settings) layout.settings.push_back({endpoints, 0});
  return layout;
}

UCHAR SettingFor(Converter& c, USHORT rate_code) {
  EXPECT_EQ(SelectSettingForRate(c.fdo, c.ext->ConfigurationDescriptor, rate_code), STATUS_SUCCESS);
  return c.rig.converter().alternate_setting();
}

}  // namespace

TEST(UsbSettings, SettingForRateIsTheNearestInIntervalAndRefusedBeforeTheFirstStart) {
  DriverMachine m;
  auto r = m.k.Run([&] {
    m.Load();
    Converter c(m);  // settings 0, 1, 2 with intervals 10, 24, 64 ms
    USBD_INTERFACE_INFORMATION selection{};
    selection.AlternateSetting = 1;
    std::vector<uint8_t> cd = BuildConfigurationDescriptor(StandardLayout());
    auto* raw = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(cd.data());
    size_t urbs = c.Urbs().size();
    EXPECT_EQ(SelectSettingForRate(c.fdo, raw, kRate9600), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(SelectInterface(c.fdo, raw, &selection), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(c.Urbs().size(), urbs);

    ASSERT_EQ(c.Start(), STATUS_SUCCESS);
    EXPECT_EQ(SettingFor(c, kRate1200), 2);   // 73 ms: 64
    EXPECT_EQ(SettingFor(c, kRate9600), 0);   // 9 ms: 10
    EXPECT_EQ(SettingFor(c, 4000), 1);        // a rate of its own, 22 ms: 24
    EXPECT_EQ(SettingFor(c, kRate19200), 0);  // 4 ms: setting 0's 10 is compared too
    EXPECT_EQ(c.ext->InPipe->PipeInfo->Interval, 10);
    EXPECT_EQ(c.ext->ReaderThreadContext.ReadPipe, c.ext->InPipe);
    EXPECT_EQ(SelectSettingForRate(c.fdo, c.ext->ConfigurationDescriptor, 0),
              STATUS_INVALID_PARAMETER);
    // A selection naming a setting that does not exist selects setting 0.
    SettingFor(c, kRate1200);
    selection.AlternateSetting = 7;
    EXPECT_EQ(SelectInterface(c.fdo, c.ext->ConfigurationDescriptor, &selection), STATUS_SUCCESS);
    EXPECT_EQ(c.rig.converter().alternate_setting(), 0);
    c.Remove();
  });
  ASSERT_TRUE(r.ok()) << r.report;
}

// Two IN endpoints as near to the target: the smaller interval wins even when it comes later;
// with equal intervals the earlier stays. The rate 4000 bit/s asks for 22 ms.
TEST(UsbSettings, TiesGoToTheSmallerIntervalThenTheEarlierEndpoint) {
  auto three_settings = Layout(
      {{{0x81, 32}, {0x02, 32}}, {{0x81, 12}, {0x02, 12}}, {{0x81, 12}, {0x02, 12}, {0x83, 12}}});
  OnStartedConverter(
      [](DriverMachine&, Converter& c) {
        EXPECT_EQ(SettingFor(c, 4000), 1);
        // Setting 2 has three pipes: the first IN and the first OUT make the table.
        USBD_INTERFACE_INFORMATION selection{};
        selection.AlternateSetting = 2;
        ASSERT_EQ(SelectInterface(c.fdo, c.ext->ConfigurationDescriptor, &selection),
                  STATUS_SUCCESS);
        ASSERT_EQ(BuildPipeTable(c.fdo), STATUS_SUCCESS);
        EXPECT_EQ(c.ext->Pipes[0].PipeInfo->EndpointAddress, 0x81);
        EXPECT_EQ(c.ext->Pipes[1].PipeInfo->EndpointAddress, 0x02);
      },
      true, WithLayout(three_settings));
}

TEST(UsbSettings, PipeTablesOfTheLayoutVariants) {
  // Where the IN pipe lands; 2: there is no OUT pipe.
  std::pair<DescriptorLayout, int> variants[] = {
      {StandardLayout(false), 1}, {OnePipeLayout(), 2}, {LongLayout(), 0}};
  for (auto& [layout, in_entry] : variants) {
    OnStartedConverter(
        [&](DriverMachine&, Converter& c) {
          PIPE_ENTRY* in = &c.ext->Pipes[in_entry == 1 ? 1 : 0];
          EXPECT_TRUE(c.ext->InPipe == in && c.ext->ReaderThreadContext.ReadPipe == in);
          if (in_entry == 2) {
            // The second entry is named with a final 'X' and has no pipe; writes find none.
            EXPECT_EQ(std::u16string(c.ext->Pipes[1].Name), u"\\PIPE0X");
            EXPECT_EQ(c.ext->Pipes[1].PipeInfo, nullptr);
            EXPECT_EQ(WriteIrp(c.fdo, {1, 2, 3}).status, STATUS_INVALID_HANDLE);
          }
          // A configuration longer than the first read is read again whole.
          std::vector<uint32_t> reads, expected = {CONFIGURATION_FIRST_READ};
          for (const auto& u : c.Urbs()) {
            if (u.setup && u.setup->request == USB_REQUEST_GET_DESCRIPTOR &&
                u.setup->value >> 8 == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
              reads.push_back(u.requested_length);
            }
          }
          size_t total = BuildConfigurationDescriptor(layout).size();
          if (total > CONFIGURATION_FIRST_READ) expected.push_back(uint32_t(total));
          EXPECT_EQ(reads, expected);
        },
        true, WithLayout(layout));
  }
}
