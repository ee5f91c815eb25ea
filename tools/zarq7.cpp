// zarq7: a card session through the driver against the simulated reader.
#include <iostream>
#include <string>
#include <vector>

#include "tools/command_line.h"
#include "tools/session_runner.h"

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
  return tools::RunSession(command_line.options, std::cout, std::cerr);
}
