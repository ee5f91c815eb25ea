// The link on the whole stack, for the fault matrix: the driver loaded, a converter (line, reader,
// card) plugged in and started by the Plug and Play manager, and the link driven on the device's
// own extension, so that every block goes through ReaderSerialIo, the read and write dispatch, the
// URBs, the converter and the line. The same calls as test_support::SimLink.
#pragma once
#include <memory>

#include "driver/driver.h"
#include "host/io/pnp_manager.h"
#include "host/usb/usb_bus.h"
#include "link/link.h"
#include "sim/converter/converter_protocol.h"
#include "sim/converter_rig.h"
#include "tests/support/sim_link.h"

namespace whole_stack {

using test_support::Bytes;
using test_support::SimExchange;

// What the machine needs before it runs.
struct LinkMachine {
  explicit LinkMachine(uint64_t seed)
      : k(host::kernel::KernelOptions{.seed = seed}), io(k), pnp(io), library(k), bus(io, pnp) {}
  host::kernel::Kernel k;
  host::io::IoManager io;
  host::io::PnpManager pnp;
  host::smclib::SmartcardLibrary library;
  host::usb::UsbBus bus;
};

class StackLink {
 public:
  StackLink(LinkMachine& m, const test_support::SimLinkOptions& options) : m_(m) {
    driver_ = m.io.LoadDriver(u"\\Driver\\Zarq7usb", DriverEntry, u"\\Registry");
    m.pnp.RegisterDriver(
        host::usb::UsbHardwareId(sim::converter::kVendorId, sim::converter::kProductId), driver_);
    sim::ConverterRigOptions rig;
    rig.reader = test_support::SimRigOptions(options.card, options.line_seed, options.reader);
    rig_ = std::make_unique<sim::ConverterRig>(m.k, rig);
    pdo_ = m.bus.Plug(rig_->device());
    PDEVICE_OBJECT fdo = m.io.AttachedDevice(pdo_);
    if (fdo != pdo_) extension_ = &DeviceExtensionOf(fdo)->SmartcardExtension;
  }
  ~StackLink() {
    m_.bus.Unplug(pdo_);
    m_.io.UnloadDriver(driver_);
    rig_.reset();
  }
  NTSTATUS binding_status() const { return extension_ ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE; }

  // As the matrix's power-up with the serial routine: the link's own operations, any IFSD.
  NTSTATUS PowerUp(UCHAR ifsd) {
    Acquire();
    NTSTATUS status = LinkSerialSetup(extension_);
    if (status == STATUS_SUCCESS) status = LinkDtrCycle(extension_);
    if (status == STATUS_SUCCESS && T1Resynch(extension_) != STATUS_SUCCESS) {
      reader_extension()->LinkState = LINK_STATE_RESYNCH_DUE;
      status = T1Resynch(extension_);
    }
    if (status == STATUS_SUCCESS) status = T1SetIfsd(extension_, ifsd);
    if (status == STATUS_SUCCESS) status = T1SetIfsc(extension_, T1_IFS_LARGEST);
    Release();
    return status;
  }
  SimExchange Transceive(UCHAR dad, const Bytes& command,
                         ULONG capacity = test_support::kSimReplyCapacity) {
    SimExchange x{STATUS_PENDING, Bytes(capacity), dad, T1_NODE_HOST};
    ULONG length = capacity;
    Acquire();
    x.status = T1Transceive(extension_, &x.dad, &x.sad, command.data(), ULONG(command.size()),
                            x.reply.data(), &length);
    Release();
    x.reply.resize(x.status == STATUS_SUCCESS ? length : 0);
    return x;
  }

  PREADER_EXTENSION reader_extension() { return extension_->ReaderExtension; }
  sim::ConverterRig& rig() { return *rig_; }
  sim::Reader& reader() { return rig_->reader(); }
  sim::SerialLine& line() { return rig_->line(); }
  sim::LineTrace& trace() { return rig_->trace(); }

 private:
  void Acquire() {
    KeWaitForSingleObject(&reader_extension()->LinkMutex, Executive, KernelMode, FALSE, nullptr);
  }
  void Release() { KeReleaseMutex(&reader_extension()->LinkMutex, FALSE); }

  LinkMachine& m_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<sim::ConverterRig> rig_;
  PDEVICE_OBJECT pdo_ = nullptr;
  PSMARTCARD_EXTENSION extension_ = nullptr;
};

}  // namespace whole_stack
