#include "sim/reader_profile.h"

#include <functional>
#include <optional>

#include "sim/text_values.h"

namespace sim {

using host::kernel::Milliseconds;
using host::kernel::Seconds;
using host::kernel::Ticks;

namespace {

constexpr uint32_t kCardRate = 9600;
constexpr int32_t kCardOscillatorPpm = 2331;  // 3.579545 MHz / 372 = 9622.4 bit/s

const char* ParityName(CharacterErrors mode) {
  switch (mode) {
    case CharacterErrors::kFlag:
      return "flag";
    case CharacterErrors::kIgnore:
      return "ignore";
    case CharacterErrors::kDrop:
      return "drop";
  }
  return "?";
}

// One setting: how it reads from text (a flag's value is ""), and how it is written: nullopt
// when it is as in "ideal", "" for a flag that is set.
using Written = std::optional<std::string>;
struct Setting {
  const char* key;
  std::function<bool(const std::string& value, ReaderOptions& o)> parse;
  std::function<Written(const ReaderOptions& o)> describe;
};

Written Duration(Ticks value, Ticks ideal) {
  if (value == ideal) return std::nullopt;
  return text::FormatDuration(value);
}

Setting DurationSetting(const char* key, Ticks ReaderOptions::*field) {
  Ticks ideal = ReaderOptions{}.*field;
  return {key,
          [field](const std::string& v, ReaderOptions& o) {
            return text::ParseDuration(v, &(o.*field));
          },
          [field, ideal](const ReaderOptions& o) { return Duration(o.*field, ideal); }};
}

Setting FlagSetting(const char* key, bool ReaderOptions::*field, bool set_to) {
  return {key,
          [field, set_to](const std::string& v, ReaderOptions& o) {
            o.*field = set_to;
            return v.empty();
          },
          [field](const ReaderOptions& o) {
            return o.*field == ReaderOptions{}.*field ? Written() : Written("");
          }};
}

template <typename T>
Setting NumberSetting(const char* key, T ReaderOptions::*field, int64_t low, int64_t high) {
  return {key,
          [field, low, high](const std::string& v, ReaderOptions& o) {
            int64_t n;
            if (!text::ParseSigned(v, &n) || n < low || n > high) return false;
            o.*field = T(n);
            return true;
          },
          [field](const ReaderOptions& o) {
            if (o.*field == ReaderOptions{}.*field) return Written();
            return Written(std::to_string(int64_t(o.*field)));
          }};
}

const std::vector<Setting>& Settings() {
  static const std::vector<Setting> settings = {
      {"turnaround",
       [](const std::string& v, ReaderOptions& o) {
         std::vector<std::string> range = text::Split(v, '-');
         if (range.size() == 1) range.push_back(range[0]);
         return range.size() == 2 && text::ParseDuration(range[0], &o.turnaround_min) &&
                text::ParseDuration(range[1], &o.turnaround_max) &&
                o.turnaround_min <= o.turnaround_max;
       },
       [](const ReaderOptions& o) {
         if (o.turnaround_max == 0) return Written();
         return Written(text::FormatDuration(o.turnaround_min) + "-" +
                        text::FormatDuration(o.turnaround_max));
       }},
      DurationSetting("gap", &ReaderOptions::character_gap_max),
      DurationSetting("guard", &ReaderOptions::guard_time),
      DurationSetting("card", &ReaderOptions::card_time_base),
      DurationSetting("card-byte", &ReaderOptions::card_byte_time),
      DurationSetting("wtx", &ReaderOptions::wtx_after),
      DurationSetting("wtx-jitter", &ReaderOptions::wtx_jitter),
      FlagSetting("no-wtx", &ReaderOptions::wtx_enabled, false),
      NumberSetting("clock", &ReaderOptions::clock_error_ppm, -50000, 50000),
      NumberSetting("ifsc", &ReaderOptions::ifsc, 1, 254),
      {"sizes",
       [](const std::string& v, ReaderOptions& o) {
         o.answer_block_sizes.clear();
         for (const std::string& size : text::Split(v, '/')) {
           uint64_t n;
           if (!text::ParseUnsigned(size, &n) || n < 1 || n > 254) return false;
           o.answer_block_sizes.push_back(uint8_t(n));
         }
         return true;
       },
       [](const ReaderOptions& o) {
         if (o.answer_block_sizes.empty()) return Written();
         std::string out;
         for (uint8_t size : o.answer_block_sizes) {
           if (!out.empty()) out += '/';
           out += std::to_string(size);
         }
         return Written(out);
       }},
      FlagSetting("addressed", &ReaderOptions::addressed_control_blocks, true),
      {"parity",
       [](const std::string& v, ReaderOptions& o) {
         for (CharacterErrors mode :
              {CharacterErrors::kFlag, CharacterErrors::kIgnore, CharacterErrors::kDrop}) {
           if (v == ParityName(mode)) {
             o.parity = mode;
             return true;
           }
         }
         return false;
       },
       [](const ReaderOptions& o) {
         if (o.parity == CharacterErrors::kFlag) return Written();
         return Written(ParityName(o.parity));
       }},
      NumberSetting("bad-blocks", &ReaderOptions::max_bad_blocks, 0, 100),
      FlagSetting("deaf", &ReaderOptions::deaf_while_card_works, true),
      FlagSetting("removal-at-once", &ReaderOptions::removal_acts_at_once, true),
      DurationSetting("holdup", &ReaderOptions::dtr_holdup),
      DurationSetting("chain-timeout", &ReaderOptions::block_waiting_time),
      NumberSetting("seed", &ReaderOptions::seed, 0, INT64_MAX),
  };
  return settings;
}

}  // namespace

ReaderProfile RealisticProfile() {
  ReaderProfile p;
  p.name = "realistic";
  p.options.turnaround_min = Milliseconds(1);
  p.options.turnaround_max = Milliseconds(20);
  p.options.character_gap_max = Milliseconds(2);
  p.options.card_time_base = Milliseconds(10);
  p.options.card_byte_time = CardByteTime(kCardRate);
  p.options.wtx_after = Seconds(4);
  p.options.wtx_jitter = Milliseconds(250);
  p.options.clock_error_ppm = kCardOscillatorPpm;
  return p;
}

bool ParseReaderProfile(const std::string& text, ReaderProfile* profile, std::string* error) {
  std::vector<std::string> parts = text::Split(text, ',');
  ReaderProfile p;
  if (parts[0] == "realistic") {
    p = RealisticProfile();
  } else if (parts[0] != "ideal") {
    *error = "unknown reader profile '" + parts[0] + "': use ideal or realistic";
    return false;
  }
  for (size_t i = 1; i < parts.size(); ++i) {
    size_t equals = parts[i].find('=');
    std::string key = parts[i].substr(0, equals);
    std::string value = equals == std::string::npos ? "" : parts[i].substr(equals + 1);
    const Setting* setting = nullptr;
    for (const Setting& s : Settings()) {
      if (key == s.key) setting = &s;
    }
    if (setting == nullptr) {
      std::string keys;
      for (const Setting& s : Settings()) keys += std::string(keys.empty() ? "" : ", ") + s.key;
      *error = "unknown reader setting '" + key + "': use " + keys;
      return false;
    }
    if (!setting->parse(value, p.options)) {
      *error = "bad value for reader setting '" + parts[i] + "'";
      return false;
    }
  }
  *profile = p;
  return true;
}

std::string ReaderProfileText(const ReaderProfile& profile) {
  std::string out = "ideal";
  for (const Setting& s : Settings()) {
    Written value = s.describe(profile.options);
    if (!value) continue;
    out += std::string(",") + s.key + (value->empty() ? "" : "=" + *value);
  }
  return out;
}

std::string DescribeReaderProfile(const ReaderProfile& profile) {
  return profile.name + " (" + ReaderProfileText(profile) + ")";
}

}  // namespace sim
