// The historical bytes of an answer to reset, as ISO/IEC 7816-4 lays them out: a category
// indicator, then (categories 00 and 80) compact-TLV data objects, each a byte of tag (high
// nibble) and length (low nibble) and that many bytes of value: country code, issuer
// identification number, card service data, initial access data, card issuer's data,
// pre-issuing data, card capabilities, status indicator, application identifier.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tools {

// One line per item: the category, then one line per data object with what its value means.
std::vector<std::string> ExplainHistoricalBytes(std::span<const uint8_t> bytes);

}  // namespace tools
