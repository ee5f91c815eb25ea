// A serial line with the reader at its far end, the built-in card in the slot, a line trace,
// and a scripted T=1 host on the converter end: one object for tests and tools. Create it
// inside the running machine; PowerUp() raises DTR and waits until the reader has booted.
#pragma once

#include <memory>

#include "host/kernel/kernel.h"
#include "sim/blocking_port.h"
#include "sim/cards/builtin_card.h"
#include "sim/line_trace.h"
#include "sim/reader.h"
#include "sim/serial_line.h"
#include "sim/t1_host.h"

namespace sim {

struct ReaderRigOptions {
  ReaderOptions reader;
  BuiltinCardOptions card;
  bool insert_card = true;
  bool host_port = true;  // a BlockingPort and T1Host on the converter end
  uint64_t seed = 1;      // the line's fault generator
};

class ReaderRig {
 public:
  explicit ReaderRig(host::kernel::Kernel& kernel, ReaderRigOptions options = {});
  ~ReaderRig();

  SerialLine& line() { return *line_; }
  LineTrace& trace() { return *trace_; }
  Reader& reader() { return *reader_; }
  std::shared_ptr<BuiltinCard> card() { return card_; }
  BlockingPort& port() { return *port_; }  // only with options.host_port
  T1Host& host() { return *host_; }

  // DTR high, then waits boot_time and a little more.
  void PowerUp();
  // PowerUp, S(RESYNCH) and S(IFS request, ifsd): the link as the driver brings it up.
  bool BringUp(uint8_t ifsd = 254);

 private:
  host::kernel::Kernel& kernel_;
  ReaderRigOptions options_;
  std::unique_ptr<SerialLine> line_;
  std::unique_ptr<LineTrace> trace_;
  std::unique_ptr<Reader> reader_;
  std::shared_ptr<BuiltinCard> card_;
  std::unique_ptr<BlockingPort> port_;
  std::unique_ptr<T1Host> host_;
};

}  // namespace sim
