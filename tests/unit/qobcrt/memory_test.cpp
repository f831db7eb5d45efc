// Device memory of the simulated card: layout of addresses, copies, accounting, misuse and injected faults.
#include <algorithm>
#include <map>

#include "card_builder.h"

namespace {

using namespace cardtest;

// Every test leaves the card's live blocks as it found them (checked when it ends).
using CardMemory = qobltest::LiveBlocksTest;

TEST_F(CardMemory, AddressesTellTheirKindCopiesRoundTripAndUsageIsCounted) {
  const qobcrt_sim_stats before = stats();
  uint64_t total = 0, used0 = 0, used = 0;
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used0), rtSuccess);
  EXPECT_EQ(total, 1024ull << 20);
  uint64_t addr[4][3];
  for (uint32_t k = 0; k < 4; ++k) {
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(kMalloc[k](0, 0, 1000 * (i + 1), &addr[k][i]), rtSuccess);
      EXPECT_LT(addr[k][i] + 1000 * (i + 1), 1ull << 32);
      EXPECT_EQ(addr[k][i] % 64, 0u);
      if (k > 0) {
        EXPECT_GT(addr[k][i], *std::max_element(addr[k - 1], addr[k - 1] + 3));
      }  // each kind in its own window, above the last
      uint32_t kind = 99;
      uint64_t base = 0, size = 0;
      ASSERT_EQ(qobcrt_query_block(0, addr[k][i] + 50, &kind, &base, &size), rtSuccess);
      EXPECT_EQ(kind, k);
      EXPECT_EQ(base, addr[k][i]);
      EXPECT_EQ(size, 1000u * (i + 1));
    }
  }
  const qobcrt_sim_stats mid = stats();
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used), rtSuccess);
  EXPECT_EQ(used - used0, 4u * 6000u);
  for (uint32_t k = 0; k < 4; ++k) {
    EXPECT_EQ(mid.live_blocks[k] - before.live_blocks[k], 3u);
    EXPECT_EQ(mid.live_bytes[k] - before.live_bytes[k], 6000u);
  }

  // A copy may end exactly at a block's end; overlapping copies act as memmove.  (Fresh blocks read as zero:
  // the misuse test reads one back after its refused copies.)
  const uint64_t a = addr[QOBCRT_SIM_STREAM][0], b = addr[QOBCRT_SIM_DDR_SHARE][0];
  std::vector<uint8_t> in(256), out(256, 1);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7 + 1);
  ASSERT_EQ(qobcrt_memcpy(0, in.data(), 200, a + 800, kHost2Ddr), rtSuccess);
  ASSERT_EQ(qobcrt_memcpy_d2d(0, a + 800, 200, b), rtSuccess);
  ASSERT_EQ(qobcrt_memcpy_d2d(0, b, 100, b + 10), rtSuccess);
  ASSERT_EQ(qobcrt_memcpy_d2h(0, b + 10, 100, out.data()), rtSuccess);
  EXPECT_EQ(0, std::memcmp(out.data(), in.data(), 100));

  for (uint32_t k = 0; k < 4; ++k)
    for (int i = 0; i < 3; ++i) ASSERT_EQ(kFree[k](0, addr[k][i]), rtSuccess);
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used), rtSuccess);
  EXPECT_EQ(used, used0);
}

TEST_F(CardMemory, MisuseReturnsARuntimeCodeAndChangesNothing) {
  uint32_t count = 0;
  ASSERT_EQ(qobcrt_get_device_count(&count), rtSuccess);
  uint64_t blk = 0, inout = 0;   // (freed blocks: FreedAddressesComeBackLateAndStaleOnesKeepFailing)
  ASSERT_EQ(qobcrt_malloc_stream(0, 0, 128, &blk), rtSuccess);
  ASSERT_EQ(qobcrt_malloc_inout(0, 0, 128, &inout), rtSuccess);
  std::vector<uint8_t> host(256, 0xab);
  const qobcrt_sim_stats before = stats();
  uint64_t used_before = 0, total = 0, used = 0;
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used_before), rtSuccess);

  uint64_t out = 0x1234;
  const struct {
    const char* what;
    int got, want;
  } cases[] = {
      {"malloc on a missing device", qobcrt_malloc_stream(count, 0, 64, &out), rtErrInvalidDevice},
      {"malloc with a flag", qobcrt_malloc_stream(0, 1, 64, &out), rtErrInvalidParam},
      {"malloc of zero bytes", qobcrt_malloc_app(0, 0, &out), rtErrInvalidParam},
      {"malloc with a null out", qobcrt_malloc_inout(0, 0, 64, nullptr), rtErrInvalidParam},
      {"malloc beyond 4 GiB", qobcrt_malloc_stream(0, 0, 1ull << 33, &out), rtErrMalloc},
      {"free inside a block", qobcrt_free_stream(0, blk + 64), rtErrInvalidAddr},
      {"free of inout as stream", qobcrt_free_stream(0, inout), rtErrInvalidAddr},
      {"free on a missing device", qobcrt_free_stream(count, blk), rtErrInvalidDevice},
      {"memcpy past the end", qobcrt_memcpy(0, host.data(), 65, blk + 64, kHost2Ddr), rtErrOutOfBounds},
      {"memcpy with direction 1", qobcrt_memcpy(0, host.data(), 8, blk, kDdr2Host), rtErrInvalidParam},
      {"memcpy from null", qobcrt_memcpy(0, nullptr, 8, blk, kHost2Ddr), rtErrInvalidParam},
      {"d2h past the end", qobcrt_memcpy_d2h(0, blk + 100, 29, host.data()), rtErrOutOfBounds},
      {"d2d past the source end", qobcrt_memcpy_d2d(0, blk + 64, 128, inout), rtErrOutOfBounds},
      {"query with null size", qobcrt_query_block(0, blk, nullptr, nullptr, nullptr), rtErrInvalidParam},
      {"stats of a missing device", qobcrt_sim_get_stats(count, nullptr), rtErrInvalidDevice},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  EXPECT_EQ(out, 0x1234u) << "a failing malloc wrote its out address";
  const qobcrt_sim_stats after = stats();
  EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0);
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used), rtSuccess);
  EXPECT_EQ(used, used_before);
  EXPECT_EQ(readBack<uint8_t>(0, blk, 128), std::vector<uint8_t>(128, 0)) << "a failed copy wrote";
  EXPECT_EQ(qobcrt_free_stream(0, blk), rtSuccess);
  EXPECT_EQ(qobcrt_free_inout(0, inout), rtSuccess);
  EXPECT_EQ(qobcrt_free_stream(0, blk), rtErrDoubleFree);
}

TEST_F(CardMemory, InjectedFaultHitsExactlyTheNamedNthCall) {
  const qobcrt_sim_stats before = stats();
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_malloc_stream", 3, 500077), rtSuccess);
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_memcpy", 1, 0), rtSuccess);  // 0: the default injected code
  uint64_t a[3] = {};
  ASSERT_EQ(qobcrt_malloc_stream(0, 0, 64, &a[0]), rtSuccess);
  ASSERT_EQ(qobcrt_malloc_inout(0, 0, 64, &a[1]), rtSuccess);  // other names do not count
  EXPECT_EQ(qobcrt_malloc_stream(0, 0, 0, &a[2]), rtErrInvalidParam);  // a misused call still counts
  uint64_t untouched = 42;
  EXPECT_EQ(qobcrt_malloc_stream(0, 0, 64, &untouched), 500077);
  EXPECT_EQ(untouched, 42u);
  ASSERT_EQ(qobcrt_malloc_stream(0, 0, 64, &a[2]), rtSuccess);  // spent after it fired
  const uint8_t byte = 9;
  EXPECT_EQ(qobcrt_memcpy(0, &byte, 1, a[0], kHost2Ddr), rtErrInjected);
  EXPECT_EQ(readBack<uint8_t>(0, a[0], 1)[0], 0) << "an injected fault must do nothing";

  // A failing free leaves the block alive; several faults of one name coexist; clearing drops them all.
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_free_stream", 1, 500102), rtSuccess);
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_free_stream", 2, 500103), rtSuccess);
  ASSERT_EQ(qobcrt_sim_fail_call("qobcrt_free_inout", 1, 500101), rtSuccess);
  EXPECT_EQ(qobcrt_free_stream(0, a[0]), 500102);
  EXPECT_EQ(qobcrt_free_stream(0, a[0]), 500103);
  EXPECT_EQ(qobcrt_free_stream(0, a[0]), rtSuccess);
  ASSERT_EQ(qobcrt_sim_clear_faults(), rtSuccess);
  EXPECT_EQ(qobcrt_free_inout(0, a[1]), rtSuccess);
  EXPECT_EQ(qobcrt_free_stream(0, a[2]), rtSuccess);
  EXPECT_EQ(qobcrt_sim_fail_call("qobcrt_no_such_call", 1, 1), rtErrInvalidParam);
  EXPECT_EQ(qobcrt_sim_fail_call("qobcrt_memcpy", 0, 1), rtErrInvalidParam);
  const qobcrt_sim_stats after = stats();
  EXPECT_EQ(after.allocs[0] - before.allocs[0], 2u);
  EXPECT_EQ(after.frees[0] - before.frees[0], 2u);
}

// The per-function call counts and the names a fault may use are relied on, point by point, by the
// library's fault sweep (every counted call point must fire its fault, on the calling thread).

// Freed blocks are handed out again only late: a block of up to 16 KiB only after 64 later frees of blocks
// of its size, so until then its address keeps failing as freed (copies, queries, a second free).  A reused
// block reads as zero whatever it held.
TEST_F(CardMemory, FreedAddressesComeBackLateAndStaleOnesKeepFailing) {
  struct Case {
    uint32_t kind;
    uint64_t size;
  } cases[] = {{QOBCRT_SIM_STREAM, 48}, {QOBCRT_SIM_INOUT, 1000}, {QOBCRT_SIM_DDR_SHARE, 16384}, {QOBCRT_SIM_APP, 3000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const qobcrt_sim_stats before = stats();
    std::vector<uint64_t> freed;   // in the order they were freed
    std::map<uint64_t, size_t> freed_at;
    const std::vector<uint8_t> ones(c.size, 1);
    for (size_t i = 0; i < 300; ++i) {
      uint64_t a = 0;
      ASSERT_EQ(kMalloc[c.kind](0, 0, c.size, &a), rtSuccess);
      const auto again = freed_at.find(a);
      if (again != freed_at.end()) {
        EXPECT_GE(freed.size() - again->second, 64u) << "address handed out again after too few frees";
        EXPECT_EQ(readBack<uint8_t>(0, a, c.size), std::vector<uint8_t>(c.size, 0)) << "a reused block is not zero";
      }
      ASSERT_EQ(qobcrt_memcpy(0, ones.data(), c.size, a, kHost2Ddr), rtSuccess);
      ASSERT_EQ(kFree[c.kind](0, a), rtSuccess);
      freed_at[a] = freed.size();
      freed.push_back(a);
      // The 64 most recent frees are all still refused as freed.
      for (size_t back = 1; back <= 64 && back <= freed.size(); back += 21) {
        const uint64_t stale = freed[freed.size() - back];
        uint64_t base = 7, size = 7;
        EXPECT_EQ(kFree[c.kind](0, stale), rtErrDoubleFree) << back;
        EXPECT_EQ(qobcrt_memcpy(0, ones.data(), 1, stale, kHost2Ddr), rtErrInvalidAddr) << back;
        ASSERT_EQ(qobcrt_query_block(0, stale, nullptr, &base, &size), rtSuccess);
        EXPECT_EQ(size + base, 0u) << back;
      }
    }
    EXPECT_LT(freed_at.size(), 200u) << "freed addresses are never handed out again";
    EXPECT_EQ(stats().frees[c.kind] - before.frees[c.kind], 300u);
  }
}

// Blocks above 4 MiB take their own page-rounded range and give it back when freed; when the window is
// full, ranges kept by freed large blocks are given back too, so a block as large as the window's free part
// still fits.  A freed huge block stays a double free until its range is handed out again.
TEST_F(CardMemory, HugeBlocksAndAWindowFullOfFreedBlocks) {
  uint64_t total = 0, used_before = 0, used = 0;
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used_before), rtSuccess);
  std::vector<uint64_t> large(200);
  for (uint64_t& a : large) ASSERT_EQ(qobcrt_malloc_app(0, 4 << 20, &a), rtSuccess);   // 800 MiB of the window
  for (uint64_t a : large) ASSERT_EQ(qobcrt_free_app(0, a), rtSuccess);
  uint64_t huge = 0;
  ASSERT_EQ(qobcrt_malloc_app(0, (900ull << 20) + 5, &huge), rtSuccess);
  const uint8_t tail[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(qobcrt_memcpy(0, tail, 5, huge + (900ull << 20), kHost2Ddr), rtSuccess);
  EXPECT_EQ(readBack<uint8_t>(0, huge + (900ull << 20), 5), std::vector<uint8_t>(tail, tail + 5));
  EXPECT_EQ(qobcrt_memcpy(0, tail, 5, huge + (900ull << 20) + 1, kHost2Ddr), rtErrOutOfBounds);
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used), rtSuccess);
  EXPECT_EQ(used - used_before, (900ull << 20) + 5);
  ASSERT_EQ(qobcrt_free_app(0, huge), rtSuccess);
  EXPECT_EQ(qobcrt_free_app(0, huge), rtErrDoubleFree);
  EXPECT_EQ(qobcrt_free_app(0, huge + 64), rtErrInvalidAddr);
  ASSERT_EQ(qobcrt_get_memory_info(0, &total, &used), rtSuccess);
  EXPECT_EQ(used, used_before);
  uint64_t again = 0;   // the whole range is free again
  ASSERT_EQ(qobcrt_malloc_app(0, 900ull << 20, &again), rtSuccess);
  ASSERT_EQ(qobcrt_free_app(0, again), rtSuccess);
}

}  // namespace
