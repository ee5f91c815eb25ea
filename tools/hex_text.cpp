#include "tools/hex_text.h"

namespace tools {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSeparator(char c) { return c == ' ' || c == ':' || c == '\t'; }

// 'text', for messages (appended piecewise: GCC 12 at -O2 misreads "'" + std::string as overlap).
std::string Quoted(std::string_view text) {
  std::string quoted(1, '\'');
  quoted += text;
  quoted += '\'';
  return quoted;
}

}  // namespace

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>* bytes, std::string* error) {
  bytes->clear();
  size_t i = 0;
  while (i < text.size()) {
    if (IsSeparator(text[i])) {
      ++i;
      continue;
    }
    int high = HexDigit(text[i]);
    if (high < 0) {
      *error = Quoted(text) + " is not hex: unexpected " + Quoted(text.substr(i, 1));
      return false;
    }
    if (i + 1 >= text.size() || HexDigit(text[i + 1]) < 0) {
      *error = Quoted(text) + " is not hex: a byte needs two digits";
      return false;
    }
    bytes->push_back(uint8_t(high << 4 | HexDigit(text[i + 1])));
    i += 2;
  }
  if (bytes->empty()) {
    *error = Quoted(text) + " holds no bytes";
    return false;
  }
  return true;
}

}  // namespace tools
