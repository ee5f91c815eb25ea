// The tool's trace of one converter from its plug-in on: the tool's own notes (plugged in,
// started, opened), what the driver asked of the converter (descriptors, configuration, line
// settings, the DTR cycle; with `usb`, every URB) and every T=1 block on the serial line, merged
// in time order. A block stands at the time of its first character.
//
// Print() shows what happened since the last call. A URB still in flight, or a block still
// arriving, holds back everything after it until a later call, so that lines never go back in
// time; Print(everything) shows the rest.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "host/machine/converter.h"
#include "tools/trace_text.h"

namespace tools {

class SessionTrace {
 public:
  SessionTrace(host::machine::Converter& converter, bool usb);

  void Note(host::kernel::Ticks time, std::string text);
  void Print(std::ostream& out, bool everything = false);

 private:
  struct Noted {
    host::kernel::Ticks time;
    std::string text;
  };

  host::machine::Converter& converter_;
  bool usb_;
  std::vector<Noted> notes_;
  size_t notes_printed_ = 0;
  size_t blocks_printed_ = 0;
  size_t urbs_printed_ = 0;
  BlockDescriber blocks_;
  UrbDescriber urbs_;
};

}  // namespace tools
