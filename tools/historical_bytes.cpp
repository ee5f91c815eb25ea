#include "tools/historical_bytes.h"

#include <cstdio>

#include "sim/t1_block.h"

namespace tools {

namespace {

// Category indicators.
constexpr uint8_t kCategoryTlvWithStatus = 0x00;  // compact-TLV, then LCS SW1 SW2 at the end
constexpr uint8_t kCategoryDirReference = 0x10;   // a reference to EF.DIR data follows
constexpr uint8_t kCategoryTlv = 0x80;            // compact-TLV; status indicator optional (tag 8)
constexpr size_t kTrailingStatusLength = 3;

// Compact-TLV tags.
constexpr uint8_t kTagCountryCode = 0x1;
constexpr uint8_t kTagIssuer = 0x2;
constexpr uint8_t kTagCardServiceData = 0x3;
constexpr uint8_t kTagInitialAccessData = 0x4;
constexpr uint8_t kTagCardIssuerData = 0x5;
constexpr uint8_t kTagPreIssuingData = 0x6;
constexpr uint8_t kTagCardCapabilities = 0x7;
constexpr uint8_t kTagStatusIndicator = 0x8;
constexpr uint8_t kTagApplicationIdentifier = 0xF;

// Card service data byte.
constexpr uint8_t kServiceSelectFullName = 0x80;
constexpr uint8_t kServiceSelectPartialName = 0x40;
constexpr uint8_t kServiceDirDataObjects = 0x20;
constexpr uint8_t kServiceAtrDataObjects = 0x10;
constexpr uint8_t kServiceAccessMask = 0x0E;
constexpr uint8_t kServiceAccessReadBinary = 0x08;
constexpr uint8_t kServiceAccessReadRecord = 0x00;
constexpr uint8_t kServiceAccessGetData = 0x04;
constexpr uint8_t kServiceWithoutMf = 0x01;

// First software function table of the card capabilities: selection methods.
constexpr uint8_t kSelectByFullName = 0x80;
constexpr uint8_t kSelectByPartialName = 0x40;
constexpr uint8_t kSelectByPath = 0x20;
constexpr uint8_t kSelectByFileId = 0x10;
constexpr uint8_t kSelectImplicit = 0x08;
constexpr uint8_t kShortFileId = 0x04;
constexpr uint8_t kRecordNumber = 0x02;
constexpr uint8_t kRecordIdentifier = 0x01;
// Third byte: chaining, extended lengths, logical channels.
constexpr uint8_t kCommandChaining = 0x80;
constexpr uint8_t kExtendedLengths = 0x40;
constexpr uint8_t kLogicalChannelsMask = 0x07;

// Life cycle status byte.
constexpr uint8_t kLcsCreation = 0x01;
constexpr uint8_t kLcsInitialisation = 0x03;
constexpr uint8_t kLcsOperationalMask = 0xFD;  // 05 and 07 activated, 04 and 06 deactivated
constexpr uint8_t kLcsActivated = 0x05;
constexpr uint8_t kLcsDeactivated = 0x04;
constexpr uint8_t kLcsTerminatedMask = 0xFC;
constexpr uint8_t kLcsTerminated = 0x0C;

std::string Hex(std::span<const uint8_t> bytes) { return sim::t1::Hex(bytes); }

std::string Flags(uint8_t value, std::initializer_list<std::pair<uint8_t, const char*>> flags) {
  std::string text;
  for (const auto& [bit, name] : flags) {
    if (value & bit) text += text.empty() ? name : std::string(", ") + name;
  }
  return text;
}

std::string CardServiceData(uint8_t s) {
  std::string text = Flags(s, {{kServiceSelectFullName, "selection by full DF name"},
                               {kServiceSelectPartialName, "by partial DF name"},
                               {kServiceDirDataObjects, "data objects in EF.DIR"},
                               {kServiceAtrDataObjects, "data objects in EF.ATR"}});
  const char* access = (s & kServiceAccessMask) == kServiceAccessReadBinary   ? "READ BINARY"
                       : (s & kServiceAccessMask) == kServiceAccessReadRecord ? "READ RECORD"
                       : (s & kServiceAccessMask) == kServiceAccessGetData    ? "GET DATA"
                                                                              : "a reserved way";
  if (!text.empty()) text += "; ";
  text += std::string("EF.DIR and EF.ATR read by ") + access + "; card " +
          (s & kServiceWithoutMf ? "without" : "with") + " an MF";
  return text;
}

std::string CardCapabilities(std::span<const uint8_t> v) {
  std::string text = Flags(v[0], {{kSelectByFullName, "selection by full DF name"},
                                  {kSelectByPartialName, "by partial DF name"},
                                  {kSelectByPath, "by path"},
                                  {kSelectByFileId, "by file identifier"},
                                  {kSelectImplicit, "implicit DF selection"},
                                  {kShortFileId, "short EF identifiers"},
                                  {kRecordNumber, "record numbers"},
                                  {kRecordIdentifier, "record identifiers"}});
  if (v.size() >= 3) {
    std::string more = Flags(
        v[2], {{kCommandChaining, "command chaining"}, {kExtendedLengths, "extended Lc and Le"}});
    unsigned channels = v[2] & kLogicalChannelsMask;
    if (channels) more += (more.empty() ? "" : ", ") + std::to_string(channels + 1) + " channels";
    if (!more.empty()) text += (text.empty() ? "" : "; ") + more;
  }
  return text.empty() ? "none of the listed" : text;
}

std::string LifeCycle(uint8_t lcs) {
  if (lcs == kLcsCreation) return "creation state";
  if (lcs == kLcsInitialisation) return "initialisation state";
  if ((lcs & kLcsOperationalMask) == kLcsActivated) return "operational, activated";
  if ((lcs & kLcsOperationalMask) == kLcsDeactivated) return "operational, deactivated";
  if ((lcs & kLcsTerminatedMask) == kLcsTerminated) return "terminated";
  return "life cycle " + Hex(std::span(&lcs, 1));
}

std::string StatusIndicator(std::span<const uint8_t> v) {
  if (v.size() == 1) return LifeCycle(v[0]);
  if (v.size() == 2) return "status word " + Hex(v);
  if (v.size() == 3) return LifeCycle(v[0]) + ", status word " + Hex(v.subspan(1));
  return Hex(v);
}

std::string DataObject(uint8_t tag, std::span<const uint8_t> v) {
  std::string value = Hex(v);
  switch (tag) {
    case kTagCountryCode:
      return "country code: " + value;
    case kTagIssuer:
      return "issuer identification number: " + value;
    case kTagCardServiceData:
      return v.size() == 1 ? "card service data " + value + ": " + CardServiceData(v[0])
                           : "card service data: " + value;
    case kTagInitialAccessData:
      return "initial access data: " + value;
    case kTagCardIssuerData:
      return "card issuer's data: " + value;
    case kTagPreIssuingData:
      return "pre-issuing data: " + value;
    case kTagCardCapabilities:
      return v.empty() ? "card capabilities: none given"
                       : "card capabilities " + value + ": " + CardCapabilities(v);
    case kTagStatusIndicator:
      return "status indicator " + value + ": " + StatusIndicator(v);
    case kTagApplicationIdentifier:
      return "application identifier: " + value;
    default:
      return "tag " + std::to_string(tag) + " (not in ISO 7816-4): " + value;
  }
}

// Compact-TLV objects, one line each; a last line when they do not fill the bytes exactly.
void ExplainObjects(std::span<const uint8_t> bytes, std::vector<std::string>& lines) {
  size_t at = 0;
  while (at < bytes.size()) {
    uint8_t tag = bytes[at] >> 4, length = bytes[at] & 0x0F;
    if (at + 1 + length > bytes.size()) {
      lines.push_back("compact-TLV cut short: " + Hex(bytes.subspan(at)));
      return;
    }
    lines.push_back(DataObject(tag, bytes.subspan(at + 1, length)));
    at += 1 + length;
  }
}

}  // namespace

std::vector<std::string> ExplainHistoricalBytes(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return {};
  std::vector<std::string> lines;
  uint8_t category = bytes[0];
  std::span<const uint8_t> rest = bytes.subspan(1);
  if (category == kCategoryTlv) {
    lines.push_back("category 80: compact-TLV data objects");
    ExplainObjects(rest, lines);
  } else if (category == kCategoryTlvWithStatus) {
    lines.push_back("category 00: compact-TLV data objects, then the status indicator");
    if (rest.size() < kTrailingStatusLength) {
      lines.push_back("status indicator missing: " + Hex(rest));
      return lines;
    }
    ExplainObjects(rest.first(rest.size() - kTrailingStatusLength), lines);
    lines.push_back("status indicator " + Hex(rest.last(kTrailingStatusLength)) + ": " +
                    StatusIndicator(rest.last(kTrailingStatusLength)));
  } else if (category == kCategoryDirReference) {
    lines.push_back("category 10: DIR data reference " + Hex(rest));
  } else {
    lines.push_back("category " + Hex(bytes.first(1)) +
                    ": not ISO 7816-4 (proprietary or reserved)");
  }
  return lines;
}

}  // namespace tools
