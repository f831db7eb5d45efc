// The map's own operations and their re-entry into the caller's guard.  (Exclusion, write re-entry and the
// owner under load: the concurrency test.)
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <thread>
#include <vector>

#include "rwlock.h"

using zenlar::qobl::raii;
using zenlar::qobl::RWLock;
using zenlar::qobl::threadsafe_unordered_map;

// Value-initialised entries and the copying lookup the map adds.
TEST(ThreadsafeMap, ValueInitialisationAndCopyingLookup) {
  threadsafe_unordered_map<uint32_t, int*> ptrs;
  EXPECT_EQ(ptrs[7], nullptr);
  threadsafe_unordered_map<std::string, std::list<int>> byName;
  byName[std::string("k")].push_back(1);
  std::list<int> out;
  EXPECT_TRUE(byName.find("k", out));
  EXPECT_EQ(out, (std::list<int>{1}));
  EXPECT_FALSE(byName.find("absent", out));
  byName.clear();
  EXPECT_EQ(byName.find("k"), byName.end());
  EXPECT_EQ(byName.getLock().lockCount(), 0);
}

TEST(ThreadsafeMap, OperationsReenterTheGuardOfTheirCaller) {
  threadsafe_unordered_map<uint32_t, int> m;
  {
    raii g = m.write_guard();
    EXPECT_EQ(m.getLock().lockCount(), -1);
    m[1] = 10;
    EXPECT_NE(m.find(1), m.end());
    EXPECT_EQ(m.erase(1), 1u);
    EXPECT_EQ(m.getLock().lockCount(), -1) << "inner calls must return to the outer level";
    EXPECT_EQ(m.getLock().writeOwner(), std::this_thread::get_id());
  }
  EXPECT_EQ(m.getLock().lockCount(), 0);
  EXPECT_EQ(m.getLock().writeOwner(), RWLock::NULL_THEAD);
}
