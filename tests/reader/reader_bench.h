// Shared pieces of the reader function tests: a far end that answers the link's blocks, the
// library's side of the requests (its request block, its presence request), and time helpers.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/kernel/ticks.h"
#include "link/link.h"
#include "reader/reader_functions.h"
#include "tests/support/link_bench.h"
#include "tests/support/scripted_peer.h"

namespace reader_test {

using host::kernel::Milliseconds;
using host::kernel::Seconds;
using host::kernel::Ticks;
using test_support::Block;
using test_support::BlockHex;
using test_support::Bytes;
using test_support::Hex;
using test_support::LinkBench;
using test_support::ScriptedPeer;
using test_support::ToHex;

// NAD of the far end's answers: to the host, from the reader or from the card.
inline constexpr uint8_t kFromReader = 0x21;
inline constexpr uint8_t kFromCard = 0x20;

inline const Bytes kGetStatus = {0x20, 0x13, 0x00, 0x80, 0x00};
inline const Bytes kPowerOn = {0x20, 0x10, 0x01, 0x01};
inline const Bytes kPowerOff = {0x20, 0x14, 0x01, 0x00};

struct FarAnswer {
  Bytes inf;
  uint8_t nad = kFromReader;
};
inline FarAnswer FromReader(const std::string& hex) { return {Hex(hex), kFromReader}; }
inline FarAnswer FromCard(const std::string& hex) { return {Hex(hex), kFromCard}; }

// The reader's side of the link: answers each I-block the link writes (commands are never chained
// here) with one I-block that `answer` builds, or stays silent when it gives nothing; answers
// S(RESYNCH) and S(IFS) requests; repeats its last block when asked to.
class ReaderFarEnd {
 public:
  using AnswerFn = std::function<std::optional<FarAnswer>(const Bytes& command, uint8_t nad)>;
  ReaderFarEnd(test_support::TestSerialLine& line, AnswerFn answer);

  AnswerFn answer;
  Ticks delay = Milliseconds(5);  // from the end of the block written to the first answer byte
  bool silent = false;            // answers nothing at all, not even S- and R-blocks

  // The commands received, with their NAD and the time their block was written.
  std::vector<Bytes> commands;
  std::vector<uint8_t> nads;
  std::vector<Ticks> times;
  // Times of the status queries only.
  std::vector<Ticks> StatusQueryTimes() const;

 private:
  void OnBlock(const Bytes& block);
  void Send(uint8_t nad, uint8_t pcb, const Bytes& inf);

  test_support::TestSerialLine& line_;
  int rx_seq_ = 0;
  int tx_seq_ = 0;
  Bytes last_sent_;
};

// A far end whose GET STATUS answer is `status` (a whole answer, status word included) and that
// answers every other command with 90 00.
std::unique_ptr<ReaderFarEnd> StatusReader(LinkBench& b, const Bytes* status);

// The machine of these tests: a device object carrying the extension, LinkMutex ready.
host::kernel::RunResult RunReader(const std::function<void(LinkBench&)>& body, uint64_t seed = 1);

Ticks Now();
void Sleep(Ticks duration);
void SetState(LinkBench& b, ULONG state);

// The library's presence request (IS_PRESENT or IS_ABSENT) as the library passes it on: put into
// OsData->NotificationIrp, RDF_CARD_TRACKING called, and completed by the library with the
// function's status when that is not STATUS_PENDING.
struct Notification {
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = nullptr;  // valid until completed
  bool completed() { return KeReadStateEvent(&done) != 0; }
};
// cancel_first: the request is cancelled before the reader function sees it.
std::unique_ptr<Notification> SendNotification(LinkBench& b, bool cancel_first = false);

// The library's request block for one call.
struct Call {
  NTSTATUS status = STATUS_PENDING;
  ULONG information = 0xDEADBEEF;
  Bytes reply;
};
// RDF_CARD_POWER with a reply buffer of `capacity` bytes.
Call Power(LinkBench& b, ULONG minor, ULONG capacity = 64);
// RDF_SET_PROTOCOL with the protocol mask.
Call SetProtocol(LinkBench& b, ULONG mask, ULONG capacity = 4);
// RDF_TRANSMIT with the request (header included) and a reply buffer of `capacity` bytes.
Call Transmit(LinkBench& b, const Bytes& request, ULONG capacity = 64);
// The 8-byte request header, then the command.
Bytes WithHeader(ULONG protocol, const Bytes& command);

inline void ExpectOk(const host::kernel::RunResult& r) { EXPECT_TRUE(r.ok()) << r.report; }

}  // namespace reader_test
