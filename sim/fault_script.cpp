#include "sim/fault_script.h"

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

bool ParseAction(const std::string& text, ScriptStep* step) {
  using Action = ScriptStep::Action;
  size_t equals = text.find('=');
  std::string name = text.substr(0, equals);
  std::string value = equals == std::string::npos ? "" : text.substr(equals + 1);
  uint64_t n = 0;
  if (name == "wtx" || name == "ifs") {
    step->action = name == "wtx" ? Action::kWtx : Action::kIfs;
    if (!text::ParseUnsigned(value, &n) || n > (name == "wtx" ? 255 : 254) || n == 0) return false;
    step->value = uint8_t(n);
    return true;
  }
  if (name == "sw") {
    step->action = Action::kReaderAnswer;
    return text::ParseHexWord(value, &step->sw);
  }
  if (!value.empty()) return false;
  if (name == "abort")
    step->action = Action::kAbort;
  else if (name == "restart")
    step->action = Action::kRestart;
  else if (name == "remove")
    step->action = Action::kRemoveCard;
  else
    return false;
  return true;
}

bool ParseBlockItem(const std::string& item, FaultScript* script) {
  std::vector<std::string> parts = text::Split(item, ':');
  uint64_t exchange = 0, block = 0;
  if (parts.size() != 3 || !text::ParseUnsigned(parts[0], &exchange) || exchange == 0 ||
      parts[1].size() < 2 || (parts[1][0] != 'h' && parts[1][0] != 'a') ||
      !text::ParseUnsigned(parts[1].substr(1), &block) || block == 0) {
    return false;
  }
  ScriptStep step;
  step.exchange = int(exchange);
  step.at = {parts[1][0] == 'h' ? ExchangePoint::Chain::kHost : ExchangePoint::Chain::kAnswer,
             int(block)};
  for (const std::string& action : text::Split(parts[2], ',')) {
    if (!ParseAction(action, &step)) return false;
    script->steps.push_back(step);
  }
  return true;
}

bool ParseTimedItem(std::string item, FaultScript* script) {
  TimedFault f;
  if (item.ends_with(kTowardReader)) {
    f.toward_reader = true;
    item.resize(item.size() - kTowardReader.size());
  }
  size_t colon = item.find(':');
  if (colon == std::string::npos || !text::ParseDuration(item.substr(1, colon - 1), &f.at)) {
    return false;
  }
  std::string event = item.substr(colon + 1);
  size_t equals = event.find('=');
  std::string name = event.substr(0, equals);
  std::string value = equals == std::string::npos ? "" : event.substr(equals + 1);
  const TimedName* known = nullptr;
  for (const TimedName& t : kTimedNames) {
    if (name == t.name) known = &t;
  }
  if (known == nullptr) return false;
  f.kind = known->kind;
  if (f.kind == Kind::kInject) {
    f.bad_parity = !value.empty() && value.back() == '!';
    if (f.bad_parity) value.pop_back();
    uint16_t word;
    if (value.size() != 2 || !text::ParseHexWord("00" + value, &word)) return false;
    f.value = uint8_t(word);
  } else if (known->has_duration) {
    std::vector<std::string> pieces = text::Split(value, '/');
    bool with_amount = f.kind == Kind::kNoise || f.kind == Kind::kBurst;
    if (pieces.size() != (with_amount ? 2u : 1u) || !text::ParseDuration(pieces[0], &f.duration) ||
        (with_amount && (!text::ParseDouble(pieces[1], &f.amount) || f.amount <= 0 ||
                         (f.kind == Kind::kBurst && f.amount > 1)))) {
      return false;
    }
  } else if (!value.empty()) {
    return false;
  }
  script->timed.push_back(f);
  return true;
}

}  // namespace

bool ParseFaultScript(const std::string& text, FaultScript* script, std::string* error) {
  FaultScript parsed = *script;
  for (const std::string& item : text::Split(text, ';')) {
    if (item.empty()) continue;
    bool ok = item[0] == '@' ? ParseTimedItem(item, &parsed) : ParseBlockItem(item, &parsed);
    if (!ok) {
      *error = "cannot read fault '" + item + "' (see --help)";
      return false;
    }
  }
  *script = parsed;
  return true;
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
