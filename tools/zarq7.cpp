// zarq7: an application on a machine with the driver and its simulated converters.
#include <iostream>
#include <string>
#include <vector>

#include "tools/command_line.h"
#include "tools/configuration_commands.h"
#include "tools/session_runner.h"
#include "tools/watch.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  tools::CommandLine command_line = tools::ParseCommandLine(arguments);
  if (!command_line.ok) {
    std::cerr << "zarq7: " << command_line.error << "\n";
    return 2;
  }
  if (command_line.help) {
    std::cout << tools::UsageText();
    return 0;
  }
  switch (command_line.options.command) {
    case tools::Command::kSession:
      return tools::RunSession(command_line.options, std::cout, std::cerr);
    case tools::Command::kWatch:
      return tools::RunWatch(command_line.options, std::cout, std::cerr);
    case tools::Command::kUsb:
      return tools::RunUsb(command_line.options, std::cout, std::cerr);
    case tools::Command::kStatus:
      return tools::RunStatus(command_line.options, std::cout, std::cerr);
    case tools::Command::kReading:
      return tools::RunReading(command_line.options, std::cout, std::cerr);
    case tools::Command::kPurge:
      return tools::RunPurge(command_line.options, std::cout, std::cerr);
    case tools::Command::kRaw:
      return tools::RunRaw(command_line.options, std::cout, std::cerr);
    case tools::Command::kVendor:
      return tools::RunVendor(command_line.options, std::cout, std::cerr);
  }
  return 2;
}
