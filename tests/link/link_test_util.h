// Shared pieces of the link tests.
#pragma once
#include <gtest/gtest.h>

#include <cstring>

#include "link/link.h"
#include "tests/support/link_bench.h"
#include "tests/support/scripted_peer.h"

namespace link_test {

using test_support::Block;
using test_support::BlockHex;
using test_support::Bytes;
using test_support::Hex;
using test_support::LinkBench;
using test_support::ToHex;

struct Exchange {
  NTSTATUS status = STATUS_PENDING;
  Bytes reply;
  ULONG reply_length = 0;
  UCHAR dad = 0, sad = 0;
};

// A command to the reader (DAD 1, SAD 2) with a reply buffer of `capacity` bytes.
inline Exchange Transceive(LinkBench& bench, const Bytes& command, ULONG capacity = 260,
                           UCHAR dad = T1_NODE_READER) {
  Exchange x;
  x.dad = dad;
  x.sad = T1_NODE_HOST;
  x.reply.assign(capacity, 0xEE);
  x.reply_length = capacity;
  x.status = T1Transceive(bench.extension, &x.dad, &x.sad, command.data(), ULONG(command.size()),
                          x.reply.data(), &x.reply_length);
  if (x.status == STATUS_SUCCESS) x.reply.resize(x.reply_length);
  return x;
}

inline void ExpectOk(const host::kernel::RunResult& r) { EXPECT_TRUE(r.ok()) << r.report; }

}  // namespace link_test
