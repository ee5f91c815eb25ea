// A reader's habits by name, and their text form for command lines and reports:
//   ideal        the simulated reader's defaults: answers at once, no pauses, an exact clock
//   realistic    what real readers do: a turnaround of 1 to 20 ms before each block, pauses of
//                up to 2 ms between characters, a card that takes 10 ms plus 12 etu per byte at
//                9600 bit/s, WTX requests 4 s into a card's work give or take 250 ms, and a
//                clock from a card oscillator (3.579545 MHz / 372 = 9622 bit/s)
// A name may be followed by settings that change it, each ",key=value" or ",flag":
//   turnaround=1ms-20ms  gap=2ms  guard=2ms  card=10ms  card-byte=1250us  wtx=4s
//   wtx-jitter=250ms  no-wtx  clock=2331 (ppm)  ifsc=254  sizes=32/64  addressed
//   parity=flag|ignore|drop  bad-blocks=2  deaf  removal-at-once  holdup=100ms  chain-timeout=10s
//   seed=7
// Its text is "ideal" and every setting in which the profile differs from it.
#pragma once

#include <string>

#include "sim/reader.h"

namespace sim {

struct ReaderProfile {
  std::string name = "ideal";
  ReaderOptions options;
};

ReaderProfile RealisticProfile();
// On failure *error holds one line and *profile is unchanged.
bool ParseReaderProfile(const std::string& text, ReaderProfile* profile, std::string* error);
// "ideal,turnaround=1ms-20ms,...": reads back as the same profile.
std::string ReaderProfileText(const ReaderProfile& profile);
// "realistic (ideal,turnaround=1ms-20ms,...)"
std::string DescribeReaderProfile(const ReaderProfile& profile);

}  // namespace sim
