// The reader's own answers to its commands, for people: the status word in the reader's words
// (and ISO 7816-4's where the reader has none of its own), and the card status data object of
// GET STATUS.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tools {

// The reader command an information field starts with: "reset slot", "status", "set parameters:
// protocol T=1", ...; nothing for bytes that are not a reader command.
std::optional<std::string> ReaderCommandName(std::span<const uint8_t> inf);

std::string ExplainReaderStatusWord(uint8_t sw1, uint8_t sw2);

// The answer's data (before the status word) line by line: "80 01 01  card status: present,
// not powered" for GET STATUS, the bytes alone for anything else; nothing when there is none.
std::vector<std::string> DescribeReaderData(std::span<const uint8_t> command,
                                            std::span<const uint8_t> data);

}  // namespace tools
