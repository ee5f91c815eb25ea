// USB descriptors put into words the way `lsusb -v` shows them: one field a line, the field's
// name, its value right-aligned, and what the value means.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tools {

// The text of string descriptor `index` (0: none), empty when it could not be read.
using StringLookup = std::function<std::string(uint8_t index)>;

// The device descriptor, then the configuration descriptor with its interfaces and endpoints
// nested under it; descriptors of other types are shown as unrecognised bytes.
std::vector<std::string> DescribeDescriptors(const std::vector<uint8_t>& device,
                                             const std::vector<uint8_t>& configuration,
                                             const StringLookup& strings);

}  // namespace tools
