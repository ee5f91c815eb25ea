// What every zarq7 command runs on: a machine in simulation (with the vicc card, in real time)
// with the driver loaded, the converters plugged in, and the reader the options name opened as
// an application opens it. The command does its work through the handle; afterwards the handle
// is closed, the rest of the trace printed and the USB capture written.
#pragma once

#include <functional>
#include <memory>
#include <ostream>

#include "host/machine/machine.h"
#include "host/machine/reader_handle.h"
#include "sim/cards/vpcd_bridge.h"
#include "tools/card_commands.h"
#include "tools/command_line.h"
#include "tools/session_trace.h"

namespace tools {

struct ToolContext {
  const SessionOptions& options;
  host::machine::Machine& machine;
  host::machine::Converter& converter;  // the one whose device the tool opened
  host::machine::ReaderHandle& reader;
  std::ostream& out;
  std::ostream& err;
  std::shared_ptr<sim::VpcdBridge> vicc;  // with --card vicc
  // Prints the trace so far when the options ask for one.
  void PrintTrace();

  SessionTrace& trace;
};

// The opened reader as the commands the tool shares with its Windows build use it.
class HandleReader : public CardReader {
 public:
  explicit HandleReader(host::machine::ReaderHandle& reader) : reader_(reader) {}
  RequestAnswer Control(uint32_t code, std::span<const uint8_t> input,
                        uint32_t output_length) override;
  RequestAnswer GetAttribute(uint32_t tag) override;
  uint32_t GetState() override { return reader_.GetState(); }
  RequestAnswer Power(uint32_t minor_code) override;
  RequestAnswer SetProtocol(uint32_t mask) override;
  uint32_t protocol() const override { return reader_.protocol(); }
  RequestAnswer Transmit(std::span<const uint8_t> command) override;
  RequestAnswer RawReaderCommand(std::span<const uint8_t> command) override;

 private:
  host::machine::ReaderHandle& reader_;
};

// The trace after each step of a shared command.
class TraceHooks : public CommandHooks {
 public:
  explicit TraceHooks(ToolContext& context) : context_(context) {}
  void Progress() override { context_.PrintTrace(); }

 protected:
  ToolContext& context_;
};

// Runs command on the machine and returns the process's exit code: the command's own, or 1 when
// the machine could not be set up, the reader not opened, or the machine stopped.
int RunOnMachine(const SessionOptions& options, std::ostream& out, std::ostream& err,
                 const std::function<int(ToolContext&)>& command);

// "zarq7: <what> failed: STATUS_..." on err; returns 1.
int StepFailed(ToolContext& context, const std::string& what, NTSTATUS status);

}  // namespace tools
