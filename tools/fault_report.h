// The scripted faults that never struck in a run, each with the likely reason: a fault a person
// scripted and did not see happen is otherwise easily read as one the driver rode out.
#pragma once

#include <string>
#include <vector>

#include "host/kernel/ticks.h"
#include "sim/fault_script.h"
#include "sim/reader.h"

namespace tools {

// One line per fault of `script` that did not strike on `reader` by `end` (the machine's time
// when the command was done): "fault '1:a1:wtx=1' never struck: ...".
std::vector<std::string> FaultsNotStruck(const sim::FaultScript& script, const sim::Reader& reader,
                                         host::kernel::Ticks end);

}  // namespace tools
