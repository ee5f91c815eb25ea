// The link on the whole stack for the fault matrix, with test_support::SimLink's calls: driven on a
// started device's own extension, every block goes through ReaderSerialIo, the read and write
// dispatch, the URBs, the converter and the line.
#pragma once
#include <memory>

#include "link/link.h"
#include "reader/link_lock.h"
#include "tests/driver/stack_rig.h"
#include "tests/support/sim_link.h"

namespace whole_stack {

using LinkMachine = stack_test::StackMachine;

class StackLink {
 public:
  StackLink(LinkMachine& m, const test_support::SimLinkOptions& options) {
    m.Load();
    sim::ConverterRigOptions rig;
    rig.reader = test_support::SimRigOptions(options.card, options.line_seed, options.reader);
    plugged_ = std::make_unique<stack_test::Plugged>(m, rig);
    if (plugged_->ext) extension_ = &plugged_->ext->SmartcardExtension;
  }
  NTSTATUS binding_status() const { return extension_ ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE; }

  // The driver's bring-up, with the IFSD the matrix asks for.
  NTSTATUS PowerUp(UCHAR ifsd) {
    Take();
    NTSTATUS status = LinkSerialSetup(extension_);
    if (status == STATUS_SUCCESS) status = LinkBringUp(extension_);
    if (status == STATUS_SUCCESS && ifsd != T1_IFS_LARGEST) status = T1SetIfsd(extension_, ifsd);
    Give();
    return status;
  }
  test_support::SimExchange Transceive(UCHAR dad, const test_support::Bytes& command) {
    test_support::SimExchange x{
        STATUS_PENDING, test_support::Bytes(test_support::kSimReplyCapacity), dad, T1_NODE_HOST};
    ULONG length = ULONG(x.reply.size());
    Take();
    x.status = T1Transceive(extension_, &x.dad, &x.sad, command.data(), ULONG(command.size()),
                            x.reply.data(), &length);
    Give();
    x.reply.resize(x.status == STATUS_SUCCESS ? length : 0);
    return x;
  }

  PREADER_EXTENSION reader_extension() { return extension_->ReaderExtension; }
  sim::ConverterRig& rig() { return plugged_->rig; }
  sim::Reader& reader() { return rig().reader(); }
  sim::SerialLine& line() { return rig().line(); }
  sim::LineTrace& trace() { return rig().trace(); }

 private:
  // As every user of the link from outside takes it.
  void Take() { AcquireReaderLink(extension_, nullptr); }
  void Give() { ReleaseReaderLink(extension_); }

  std::unique_ptr<stack_test::Plugged> plugged_;
  PSMARTCARD_EXTENSION extension_ = nullptr;
};

}  // namespace whole_stack
