// Device-control requests on an opened reader, whatever carries them: the host's I/O manager on
// a simulated machine, or DeviceIoControl on Windows. What the tool's shared code needs of a
// transport, in fixed-width types, so that it compiles beside either side's system headers.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tools {

// The request's final NTSTATUS and what came back (Information bytes at most).
struct RequestAnswer {
  int32_t status = 0;
  std::vector<uint8_t> output;
};

class DeviceRequests {
 public:
  virtual ~DeviceRequests() = default;
  // One METHOD_BUFFERED request with the input given and room for output_length bytes.
  virtual RequestAnswer Control(uint32_t code, std::span<const uint8_t> input,
                                uint32_t output_length) = 0;
};

}  // namespace tools
