#include "sim/fault_script.h"

#include <cstdio>
#include <optional>
#include <string_view>

#include "sim/text_values.h"

namespace sim {

using host::kernel::Ticks;
using Kind = TimedFault::Kind;

namespace {

constexpr std::string_view kTowardReader = ">reader";

struct TimedName {
  const char* name;
  Kind kind;
  bool has_duration;
};
constexpr TimedName kTimedNames[] = {
    {"restart", Kind::kRestart, false}, {"remove", Kind::kRemove, false},
    {"insert", Kind::kInsert, false},   {"dtr-drop", Kind::kDtrDrop, true},
    {"silence", Kind::kSilence, true},  {"noise", Kind::kNoise, true},
    {"burst", Kind::kBurst, true},      {"break", Kind::kBreak, true},
    {"inject", Kind::kInject, false},   {"echo", Kind::kEcho, true},
};

// Each returns the reason an item cannot be read, or nothing when it was.
std::optional<std::string> ParseAction(const std::string& text, ScriptStep* step) {
  using Action = ScriptStep::Action;
  size_t equals = text.find('=');
  std::string name = text.substr(0, equals);
  std::string value = equals == std::string::npos ? "" : text.substr(equals + 1);
  uint64_t n = 0;
  if (name == "wtx" || name == "ifs") {
    bool wtx = name == "wtx";
    step->action = wtx ? Action::kWtx : Action::kIfs;
    if (!text::ParseUnsigned(value, &n) || n > (wtx ? 255 : 254) || n == 0) {
      return wtx ? "wtx takes a multiplier, wtx=1 to wtx=255"
                 : "ifs takes a block size, ifs=1 to ifs=254";
    }
    step->value = uint8_t(n);
    return std::nullopt;
  }
  if (name == "sw") {
    step->action = Action::kReaderAnswer;
    if (value.size() != 4 || !text::ParseHexWord(value, &step->sw)) {
      return "sw takes a status word in four hex digits, such as sw=6F00";
    }
    return std::nullopt;
  }
  constexpr const char* kActions = "wtx=M, ifs=S, abort, restart, remove or sw=XXXX";
  if (name == "abort")
    step->action = Action::kAbort;
  else if (name == "restart")
    step->action = Action::kRestart;
  else if (name == "remove")
    step->action = Action::kRemoveCard;
  else
    return "unknown action '" + name + "': use " + kActions;
  if (!value.empty()) return name + " takes no value";
  return std::nullopt;
}

std::optional<std::string> ParseBlockItem(const std::string& item, FaultScript* script) {
  std::vector<std::string> parts = text::Split(item, ':');
  uint64_t exchange = 0, block = 0;
  if (parts.size() != 3) {
    return std::string("a block fault is N:hK:ACTIONS or N:aJ:ACTIONS, a timed one @TIME:EVENT");
  }
  if (!text::ParseUnsigned(parts[0], &exchange) || exchange == 0) {
    return "'" + parts[0] + "' is not a card command's number (1 the session's first)";
  }
  if (parts[1].size() < 2 || (parts[1][0] != 'h' && parts[1][0] != 'a') ||
      !text::ParseUnsigned(parts[1].substr(1), &block) || block == 0) {
    return "'" + parts[1] +
           "' is not a block: hK for the reader's reply to the host's K-th block, aJ for once "
           "the host acknowledged the J-th answer block (counted from 1)";
  }
  ScriptStep step;
  step.exchange = int(exchange);
  step.at = {parts[1][0] == 'h' ? ExchangePoint::Chain::kHost : ExchangePoint::Chain::kAnswer,
             int(block)};
  for (const std::string& action : text::Split(parts[2], ',')) {
    if (std::optional<std::string> why = ParseAction(action, &step)) return why;
    script->steps.push_back(step);
  }
  return std::nullopt;
}

std::optional<std::string> ParseTimedItem(std::string item, FaultScript* script) {
  TimedFault f;
  if (item.ends_with(kTowardReader)) {
    f.toward_reader = true;
    item.resize(item.size() - kTowardReader.size());
  }
  size_t colon = item.find(':');
  if (colon == std::string::npos || !text::ParseDuration(item.substr(1, colon - 1), &f.at)) {
    return std::string("a timed fault is @TIME:EVENT with a time such as 2.5s or 800ms");
  }
  std::string event = item.substr(colon + 1);
  size_t equals = event.find('=');
  std::string name = event.substr(0, equals);
  std::string value = equals == std::string::npos ? "" : event.substr(equals + 1);
  const TimedName* known = nullptr;
  for (const TimedName& t : kTimedNames) {
    if (name == t.name) known = &t;
  }
  if (known == nullptr) {
    return "unknown event '" + name +
           "': use restart, remove, insert, dtr-drop=D, silence=D, noise=D/N, burst=D/RATE, "
           "break=D, inject=XX[!] or echo=D";
  }
  f.kind = known->kind;
  if (f.kind == Kind::kInject) {
    f.bad_parity = !value.empty() && value.back() == '!';
    if (f.bad_parity) value.pop_back();
    uint16_t word;
    if (value.size() != 2 || !text::ParseHexWord("00" + value, &word)) {
      return std::string("inject takes a byte in two hex digits, such as inject=3F or inject=3F!");
    }
    f.value = uint8_t(word);
  } else if (known->has_duration) {
    std::vector<std::string> pieces = text::Split(value, '/');
    bool with_amount = f.kind == Kind::kNoise || f.kind == Kind::kBurst;
    if (pieces.size() != (with_amount ? 2u : 1u) || !text::ParseDuration(pieces[0], &f.duration) ||
        (with_amount && (!text::ParseDouble(pieces[1], &f.amount) || f.amount <= 0 ||
                         (f.kind == Kind::kBurst && f.amount > 1)))) {
      if (f.kind == Kind::kNoise)
        return std::string("noise takes D/N: a duration, about N start bits a second");
      if (f.kind == Kind::kBurst)
        return std::string("burst takes D/RATE: a duration, a bit error rate above 0 up to 1");
      return name + " takes a duration, such as " + name + "=200ms";
    }
  } else if (!value.empty()) {
    return name + " takes no value";
  }
  script->timed.push_back(f);
  return std::nullopt;
}

}  // namespace

bool ParseFaultScript(const std::string& text, FaultScript* script, std::string* error) {
  FaultScript parsed = *script;
  for (const std::string& item : text::Split(text, ';')) {
    if (item.empty()) continue;
    std::optional<std::string> why =
        item[0] == '@' ? ParseTimedItem(item, &parsed) : ParseBlockItem(item, &parsed);
    if (why) {
      *error = "cannot read fault '" + item + "': " + *why;
      return false;
    }
  }
  *script = parsed;
  return true;
}

std::string FaultItemText(const ScriptStep& step) {
  using Action = ScriptStep::Action;
  std::string text = std::to_string(step.exchange) + ":" +
                     (step.at.chain == ExchangePoint::Chain::kHost ? "h" : "a") +
                     std::to_string(step.at.block) + ":";
  switch (step.action) {
    case Action::kWtx:
      return text + "wtx=" + std::to_string(step.value);
    case Action::kIfs:
      return text + "ifs=" + std::to_string(step.value);
    case Action::kAbort:
      return text + "abort";
    case Action::kRestart:
      return text + "restart";
    case Action::kRemoveCard:
      return text + "remove";
    case Action::kReaderAnswer: {
      char sw[8];
      std::snprintf(sw, sizeof sw, "%04X", step.sw);
      return text + "sw=" + sw;
    }
  }
  return text;
}

std::string FaultItemText(const TimedFault& fault) {
  // Appended piece by piece: GCC's -O3 sees a false overlap in "literal" + temporary string.
  std::string text(1, '@');
  text += text::FormatDuration(fault.at);
  text += ':';
  for (const TimedName& t : kTimedNames) {
    if (t.kind == fault.kind) text += t.name;
  }
  if (fault.kind == Kind::kInject) {
    char value[8];
    std::snprintf(value, sizeof value, "=%02X%s", fault.value, fault.bad_parity ? "!" : "");
    text += value;
  } else if (fault.kind == Kind::kNoise || fault.kind == Kind::kBurst) {
    char amount[32];
    std::snprintf(amount, sizeof amount, "/%g", fault.amount);
    text += '=';
    text += text::FormatDuration(fault.duration);
    text += amount;
  } else if (fault.duration != 0) {
    text += '=';
    text += text::FormatDuration(fault.duration);
  }
  if (fault.toward_reader) text += kTowardReader;
  return text;
}

void ApplyFaultScript(const FaultScript& script, SerialLine& line, Reader& reader,
                      std::shared_ptr<Card> card) {
  reader.Script(script.steps);
  for (const TimedFault& f : script.timed) {
    SerialLine::End& wire = f.toward_reader ? line.converter_end() : line.reader_end();
    Ticks until = f.at + f.duration;
    switch (f.kind) {
      case Kind::kRestart:
        reader.RestartAt(f.at);
        break;
      case Kind::kRemove:
        reader.RemoveCardAt(f.at);
        break;
      case Kind::kInsert:
        reader.InsertCardAt(f.at, card);
        break;
      case Kind::kDtrDrop:
        line.DropDtr(f.at, f.duration);
        break;
      case Kind::kSilence:
        wire.faults().Silence(f.at, until);
        break;
      case Kind::kNoise:
        wire.NoiseBetween(f.at, until, f.amount);
        break;
      case Kind::kBurst:
        wire.faults().Burst(f.at, until, f.amount);
        break;
      case Kind::kBreak:
        wire.BreakBetween(f.at, until);
        break;
      case Kind::kInject:
        wire.InjectAt(f.at, f.value, f.bad_parity);
        break;
      case Kind::kEcho:
        line.converter_end().faults().Echo(f.at, until);
        break;
    }
  }
}

}  // namespace sim
