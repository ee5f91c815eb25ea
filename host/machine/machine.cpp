#include "host/machine/machine.h"

#include "platform/ke.h"
#include "platform/winsmcrd.h"
#include "sim/converter/converter_descriptors.h"

// The driver's one entry point, the routine its image names as entry.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace host::machine {

namespace {

constexpr char16_t kDeviceNamePrefix[] = u"\\Device\\USBTESK";
// How long the converters' models get, after they were pulled out, to hear that they left the bus.
constexpr kernel::Ticks kDetachSettle = kernel::Milliseconds(1);

DriverImage WithDefaults(DriverImage image) {
  if (!image.entry) image.entry = DriverEntry;
  if (image.hardware_id.empty()) {
    image.hardware_id = usb::UsbHardwareId(sim::converter::kVendorId, sim::converter::kProductId);
  }
  return image;
}

}  // namespace

std::u16string DeviceName(unsigned unit) {
  return kDeviceNamePrefix + std::u16string(1, char16_t(u'0' + unit));
}

Machine::Machine(MachineOptions options)
    : options_(std::move(options)),
      kernel_(options_.kernel),
      io_(kernel_, options_.io),
      pnp_(io_),
      power_(io_, pnp_),
      library_(kernel_),
      bus_(io_, pnp_, options_.usb) {
  options_.driver = WithDefaults(options_.driver);
}

Machine::~Machine() = default;

kernel::RunResult Machine::Run(const std::function<void(Machine&)>& body) {
  std::string load_failure;
  kernel::RunResult result = kernel_.Run([&] {
    // The simulated hardware goes with the machine's first thread, however that ends.
    struct ReleaseHardware {
      Machine& machine;
      ~ReleaseHardware() { machine.converters_.clear(); }
    } release{*this};
    const DriverImage& image = options_.driver;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = io_.LoadDriver(image.name, image.entry, image.registry_path, &status);
    if (!driver_) {
      load_failure = "the driver did not load: DriverEntry returned " + io::StatusName(status);
      return;
    }
    pnp_.RegisterDriver(image.hardware_id, driver_);
    body(*this);
    Shutdown();
  });
  if (result.ok() && !load_failure.empty()) {
    result.outcome = kernel::Outcome::kBugCheck;
    result.report = load_failure;
  }
  return result;
}

// What is still plugged in is pulled out; once every device of the driver is gone the driver is
// unloaded. What the driver left behind is for the shutdown checks to find.
void Machine::Shutdown() {
  for (auto& converter : converters_) converter->Unplug();
  pnp_.WaitIdle();
  kernel_.SleepFor(kDetachSettle);
  if (driver_ && NT_SUCCESS(io_.UnloadDriver(driver_))) driver_ = nullptr;
}

Converter& Machine::Plug(ConverterOptions options) {
  converters_.push_back(std::make_unique<Converter>(*this, std::move(options)));
  return *converters_.back();
}

std::vector<Converter*> Machine::converters() {
  std::vector<Converter*> all;
  for (auto& converter : converters_) all.push_back(converter.get());
  return all;
}

NTSTATUS Machine::Sleep(SYSTEM_POWER_STATE state) { return power_.SetSystemPowerState(state); }

NTSTATUS Machine::Wake() { return power_.SetSystemPowerState(PowerSystemWorking); }

void Machine::Wait(kernel::Ticks delay) {
  LARGE_INTEGER interval;
  interval.QuadPart = -delay;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

std::vector<std::u16string> Machine::ReaderInterfaces() {
  return io_.EnabledInterfaces(GUID_DEVINTERFACE_SMARTCARD_READER);
}

}  // namespace host::machine
