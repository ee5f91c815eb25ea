#include "tools/explorer/plan.h"

#include <algorithm>
#include <sstream>

namespace explorer {

namespace {

using host::kernel::Milliseconds;
using host::kernel::Seconds;

const char* const kOpNames[kOpKinds] = {
    "get-state",   "attribute",     "power",       "set-protocol", "transmit",       "present-wait",
    "absent-wait", "close-waiting", "reopen",      "private",      "select-setting", "reading",
    "purge",       "line-settings", "modem-lines", "raw-command",  "pipe-read",      "pipe-write",
    "wmi",         "stop-start",    "unplug",      "sleep",        "card-out",       "card-in",
    "restart",     "noise",         "pool-fail",   "damaged-plug"};

struct Weighted {
  OpKind kind;
  int weight;
  uint32_t args;  // arg drawn from 0..args-1 (a wait's ms when large)
};

const Weighted kAppOps[] = {
    {OpKind::kGetState, 14, 1},     {OpKind::kAttribute, 8, 8},    {OpKind::kPower, 12, 3},
    {OpKind::kSetProtocol, 10, 3},  {OpKind::kTransmit, 36, 12},   {OpKind::kPresentWait, 5, 3000},
    {OpKind::kAbsentWait, 5, 3000}, {OpKind::kCloseWaiting, 4, 1}, {OpKind::kReopen, 4, 1},
};
const Weighted kToolOps[] = {
    {OpKind::kPrivate, 26, 24},
    {OpKind::kSelectSetting, 8, 3},
    {OpKind::kReading, 12, 4},
    {OpKind::kPurge, 10, 3},
    {OpKind::kLineSettings, 6, kRateCount},
    {OpKind::kModemLines, 6, 3},
    {OpKind::kRawCommand, 16, kRateCount + 1},
    {OpKind::kPipeRead, 5, 6000},
    {OpKind::kPipeWrite, 4, 16},
    {OpKind::kWmi, 5, 1500},
};
const Weighted kSystemOps[] = {
    {OpKind::kStopStart, 14, 3000}, {OpKind::kUnplug, 10, 3000}, {OpKind::kSleep, 16, 8000},
    {OpKind::kCardOut, 14, 4000},   {OpKind::kCardIn, 6, 1},     {OpKind::kRestart, 10, 1},
    {OpKind::kNoise, 12, 2000},     {OpKind::kPoolFail, 6, 300},
};

template <size_t N>
Op DrawOp(std::mt19937_64& rng, const Weighted (&table)[N], Actor actor, Ticks span) {
  int total = 0;
  for (const Weighted& w : table) total += w.weight;
  int pick = int(rng() % uint64_t(total));
  const Weighted* chosen = &table[0];
  for (const Weighted& w : table) {
    if (pick < w.weight) {
      chosen = &w;
      break;
    }
    pick -= w.weight;
  }
  Op op;
  op.actor = actor;
  op.kind = chosen->kind;
  op.arg = uint32_t(rng() % chosen->args);
  op.at = Ticks(rng() % uint64_t(span / Milliseconds(1))) * Milliseconds(1);
  return op;
}

}  // namespace

std::string ActorName(const Actor& actor) {
  switch (actor.kind) {
    case ActorKind::kApp:
      return "app" + std::to_string(actor.device) + "." + std::to_string(actor.thread);
    case ActorKind::kTool:
      return "tool" + std::to_string(actor.device);
    case ActorKind::kSystem:
      break;
    case ActorKind::kBus:
      return "bus";
  }
  return "system" + std::to_string(actor.device);
}

const char* OpName(OpKind kind) { return kOpNames[int(kind)]; }

bool OpByName(const std::string& name, OpKind* kind) {
  for (int i = 0; i < kOpKinds; ++i) {
    if (name == kOpNames[i]) {
      *kind = OpKind(i);
      return true;
    }
  }
  return false;
}

Plan DrawPlan(uint64_t seed) {
  std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ull + 0x7A5Cull);
  Plan plan;
  plan.seed = seed;
  uint64_t c = rng() % 10;
  plan.converters = c < 5 ? 1 : c < 8 ? 2 : 3;
  for (int d = 0; d < plan.converters; ++d) plan.realistic.push_back(rng() % 2 == 0);
  plan.legacy = rng() % 10 == 0;
  plan.span = Seconds(4) + Ticks(rng() % 16000) * Milliseconds(1);
  // Operations per actor: an application thread acts about every 0.6 s, the tool every 1.5 s,
  // the system every 3 s per device.
  int span_ms = int(plan.span / Milliseconds(1));
  for (int d = 0; d < plan.converters; ++d) {
    for (int t = 0; t < kAppThreads; ++t) {
      Actor a{ActorKind::kApp, uint8_t(d), uint8_t(t)};
      for (int i = 0, n = 1 + int(rng() % uint64_t(span_ms / 300)); i < n; ++i)
        plan.ops.push_back(DrawOp(rng, kAppOps, a, plan.span));
    }
    Actor tool{ActorKind::kTool, uint8_t(d), 0};
    for (int i = 0, n = int(rng() % uint64_t(span_ms / 750)); i < n; ++i)
      plan.ops.push_back(DrawOp(rng, kToolOps, tool, plan.span));
    Actor system{ActorKind::kSystem, uint8_t(d), 0};
    for (int i = 0, n = int(rng() % uint64_t(span_ms / 1500)); i < n; ++i)
      plan.ops.push_back(DrawOp(rng, kSystemOps, system, plan.span));
  }
  // On about one seed in four, a converter of someone else's with a damaged configuration
  // descriptor is plugged in for a while. Drawn apart, so that the rest of a seed's plan stays
  // what it was.
  std::mt19937_64 bus(seed * 0xD1B54A32D192ED03ull + 0xB05ull);
  if (bus() % 4 == 0) {
    Op op;
    op.actor = Actor{ActorKind::kBus, 0, 0};
    op.kind = OpKind::kDamagedPlug;
    op.arg = uint32_t(bus() % 4);
    op.at = Ticks(bus() % uint64_t(span_ms)) * Milliseconds(1);
    plan.ops.push_back(op);
  }
  std::stable_sort(plan.ops.begin(), plan.ops.end(),
                   [](const Op& a, const Op& b) { return a.at < b.at; });
  return plan;
}

std::string PlanText(const Plan& plan) {
  std::ostringstream out;
  out << "seed " << plan.seed << "\n";
  out << "converters " << plan.converters << "\n";
  for (int d = 0; d < plan.converters; ++d)
    out << "profile " << d << " " << (plan.realistic[d] ? "realistic" : "ideal") << "\n";
  out << "platform " << (plan.legacy ? "legacy" : "current") << "\n";
  out << "span-ms " << plan.span / Milliseconds(1) << "\n";
  for (const Op& op : plan.ops) {
    out << "at " << op.at / Milliseconds(1) << " " << ActorName(op.actor) << " " << OpName(op.kind)
        << " " << op.arg << "\n";
  }
  return out.str();
}

namespace {

bool ParseActor(const std::string& text, Actor* actor) {
  unsigned device = 0, thread = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "app%u.%u%c", &device, &thread, &tail) == 2 &&
      thread < kAppThreads) {
    *actor = Actor{ActorKind::kApp, uint8_t(device), uint8_t(thread)};
  } else if (std::sscanf(text.c_str(), "tool%u%c", &device, &tail) == 1) {
    *actor = Actor{ActorKind::kTool, uint8_t(device), 0};
  } else if (std::sscanf(text.c_str(), "system%u%c", &device, &tail) == 1) {
    *actor = Actor{ActorKind::kSystem, uint8_t(device), 0};
  } else if (text == "bus") {
    *actor = Actor{ActorKind::kBus, 0, 0};
  } else {
    return false;
  }
  return device < unsigned(kMostConverters);
}

}  // namespace

bool ParsePlan(const std::string& text, Plan* result, std::string* error) {
  Plan plan;
  plan.realistic.assign(kMostConverters, false);
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string key;
    words >> key;
    bool ok = true;
    if (key == "seed") {
      ok = bool(words >> plan.seed);
    } else if (key == "converters") {
      ok = bool(words >> plan.converters) && plan.converters >= 1 &&
           plan.converters <= kMostConverters;
    } else if (key == "profile") {
      int d = 0;
      std::string name;
      ok = bool(words >> d >> name) && d >= 0 && d < kMostConverters &&
           (name == "realistic" || name == "ideal");
      if (ok) plan.realistic[d] = name == "realistic";
    } else if (key == "platform") {
      std::string name;
      ok = bool(words >> name) && (name == "legacy" || name == "current");
      plan.legacy = name == "legacy";
    } else if (key == "span-ms") {
      int64_t ms = 0;
      ok = bool(words >> ms) && ms >= 0;
      plan.span = Milliseconds(ms);
    } else if (key == "at") {
      int64_t ms = 0;
      std::string actor, name;
      Op op;
      ok = bool(words >> ms >> actor >> name >> op.arg) && ms >= 0 &&
           ParseActor(actor, &op.actor) && OpByName(name, &op.kind);
      op.at = Milliseconds(ms);
      if (ok) plan.ops.push_back(op);
    } else {
      ok = false;
    }
    if (!ok) {
      *error = "plan line " + std::to_string(number) + " not understood: " + line;
      return false;
    }
  }
  plan.realistic.resize(plan.converters);
  for (const Op& op : plan.ops) {
    if (op.actor.device >= plan.converters) {
      *error = "plan: an operation for device " + std::to_string(op.actor.device) + " of " +
               std::to_string(plan.converters);
      return false;
    }
  }
  std::stable_sort(plan.ops.begin(), plan.ops.end(),
                   [](const Op& a, const Op& b) { return a.at < b.at; });
  *result = plan;
  return true;
}

std::vector<Actor> Actors(const Plan& plan) {
  std::vector<Actor> actors;
  for (const Op& op : plan.ops) {
    if (std::find(actors.begin(), actors.end(), op.actor) == actors.end())
      actors.push_back(op.actor);
  }
  std::sort(actors.begin(), actors.end());
  return actors;
}

}  // namespace explorer
