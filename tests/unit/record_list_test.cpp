#include "spool/record_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "spool/job_record.h"

namespace druvo {
namespace {

class RecordListTest : public ::testing::Test {
 protected:
  void SetUp() override { baseline_ = GetPoolStats().liveBlocks; }
  void TearDown() override {
    ListDestroy(&list_);
    EXPECT_EQ(GetPoolStats().liveBlocks, baseline_) << "pool blocks leaked";
  }
  void AppendInt(int value) { ListAppend(list_, &value, sizeof value); }
  std::vector<int> Forward() {
    std::vector<int> out;
    for (void* p = ListFirst(list_); p != nullptr; p = ListNext(p))
      out.push_back(*static_cast<int*>(p));
    return out;
  }

  RecordList list_ = nullptr;
  long baseline_ = 0;
};

TEST_F(RecordListTest, NewListIsEmpty) {
  list_ = ListCreate();
  ASSERT_NE(list_, nullptr);
  EXPECT_EQ(ListFirst(list_), nullptr);
  EXPECT_EQ(ListIsEmpty(list_), 1);
  EXPECT_EQ(list_->status, 1);
  EXPECT_EQ(ListIsEmpty(nullptr), 1);
  EXPECT_EQ(ListFirst(nullptr), nullptr);
}

TEST_F(RecordListTest, WalksForwardAndBackInAppendOrder) {
  list_ = ListCreate();
  AppendInt(1);
  AppendInt(2);
  AppendInt(3);
  EXPECT_EQ(Forward(), (std::vector<int>{1, 2, 3}));
  void* last = ListFirst(list_);
  while (ListNext(last) != nullptr) last = ListNext(last);
  std::vector<int> back;
  for (void* p = last; p != nullptr; p = ListPrev(p)) back.push_back(*static_cast<int*>(p));
  EXPECT_EQ(back, (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(ListPayloadLength(last), sizeof(int));
}

TEST_F(RecordListTest, ClearEmptiesAndAppendsWorkAgain) {
  list_ = ListCreate();
  AppendInt(7);
  ListClear(list_);
  EXPECT_EQ(ListIsEmpty(list_), 1);
  EXPECT_EQ(list_->status, 1);
  AppendInt(8);
  EXPECT_EQ(Forward(), (std::vector<int>{8}));
  ListClear(nullptr);
  ListAppend(nullptr, "x", 1);
}

TEST_F(RecordListTest, NodesRollOverIntoASecondBlockWhichClearFrees) {
  // Sizes follow from the real layout: 20/24/96 bytes on 32-bit targets.
  constexpr std::size_t kPayload = 72;
  const std::size_t headFootprint = PoolRoundUp(kListHeadSize);
  const std::size_t nodeFootprint = NodeFootprint(kPayload);
  const std::size_t perFirstBlock = (kPoolPayloadBytes - headFootprint) / nodeFootprint;
  if (sizeof(void*) == 4) {
    EXPECT_EQ(kListHeadSize, 20u);
    EXPECT_EQ(kListNodeHeaderSize, 24u);
    EXPECT_EQ(nodeFootprint, 96u);
    EXPECT_EQ(perFirstBlock, 260u);
  }

  // Every earlier test gave its blocks back, so the head opens a fresh block.
  ASSERT_EQ(GetPoolStats().current, nullptr);
  list_ = ListCreate();
  const PoolBlock* headBlock = list_->block;
  ASSERT_EQ(headBlock->used, static_cast<std::int32_t>(headFootprint));
  const long blocksWithHead = GetPoolStats().liveBlocks;

  unsigned char record[kPayload] = {};
  for (std::size_t i = 0; i < perFirstBlock; ++i) ListAppend(list_, record, kPayload);
  EXPECT_EQ(GetPoolStats().liveBlocks, blocksWithHead);
  EXPECT_EQ(GetPoolStats().current, headBlock);

  ListAppend(list_, record, kPayload);  // the next one opens a second block
  EXPECT_EQ(GetPoolStats().liveBlocks, blocksWithHead + 1);
  EXPECT_NE(GetPoolStats().current, headBlock);

  ListClear(list_);
  EXPECT_EQ(GetPoolStats().liveBlocks, blocksWithHead);
  EXPECT_EQ(GetPoolStats().current, nullptr);  // the second block was current
  EXPECT_EQ(headBlock->references, 1);         // only the head is left in it
}

TEST_F(RecordListTest, DestroyReleasesTheHeadAndClearsTheVariable) {
  list_ = ListCreate();
  AppendInt(1);
  ListDestroy(&list_);
  EXPECT_EQ(list_, nullptr);
  ListDestroy(&list_);
  ListDestroy(nullptr);
}

TEST_F(RecordListTest, OversizedRecordIsRefusedAndMarksTheHead) {
  list_ = ListCreate();
  std::vector<unsigned char> big(kPoolPayloadBytes, 1);
  ListAppend(list_, big.data(), big.size());
  EXPECT_EQ(list_->status, 0);
  EXPECT_EQ(ListIsEmpty(list_), 1);
}

TEST_F(RecordListTest, SortByWriteTimeIsStableAndOldestFirst) {
  list_ = ListCreate();
  AppendJob(list_, "/in/", "c", 102, 1);
  AppendJob(list_, "/in/", "a", 100, 1);
  AppendJob(list_, "/in/", "tie1", 101, 1);
  AppendJob(list_, "/in/", "b", 101, 1);
  AppendJob(list_, "/in/", "future", 0x80000000ull << 32, 1);  // high half negative as int32
  SortJobsByWriteTime(list_);
  std::vector<std::string> order;
  for (void* p = ListFirst(list_); p != nullptr; p = ListNext(p)) {
    order.push_back(static_cast<JobRecord*>(p)->path);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"/in/future", "/in/a", "/in/tie1", "/in/b", "/in/c"}));
}

TEST_F(RecordListTest, LongPathsAreStoredWholeAndTooLongOnesRefused) {
  list_ = ListCreate();
  const std::string name(255, 'n');
  EXPECT_TRUE(AppendJob(list_, "/a/very/long/prefix/", name.c_str(), 5, 6));
  auto* r = static_cast<JobRecord*>(ListFirst(list_));
  EXPECT_EQ(std::string(r->path), "/a/very/long/prefix/" + name);
  EXPECT_EQ(JobWriteTime(*r), 5u);
  EXPECT_EQ(JobSize(*r), 6u);
  const std::string huge(kJobPathCapacity, 'x');
  EXPECT_FALSE(AppendJob(list_, "/", huge.c_str(), 1, 1));
}

#if GTEST_HAS_DEATH_TEST && !defined(_WIN32)
void* RefuseHeap(std::size_t) { return nullptr; }

TEST(RecordPoolDeathTest, HeapExhaustionEndsTheProcessWithCodeOne) {
  EXPECT_EXIT(
      {
        RecordList list = ListCreate();
        SetPoolHeap(RefuseHeap, nullptr);
        unsigned char record[72] = {};
        for (int i = 0; i < 1000; ++i) ListAppend(list, record, sizeof record);
      },
      ::testing::ExitedWithCode(1), "");
}
#endif

}  // namespace
}  // namespace druvo
