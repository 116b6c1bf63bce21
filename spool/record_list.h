// A circular, doubly linked list of byte records with a sentinel head. Nodes
// are carved from large blocks by a small arena (the record pool): one heap
// allocation serves many records, and releasing a node is a counter decrement.
// Callers see payload pointers only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace druvo {

struct PoolBlock {
  PoolBlock* self;          // the block's own address, used to free it
  std::int32_t references;  // nodes carved from it and not yet released
  std::int32_t used;        // payload bytes handed out so far
};

struct ListNode {
  ListNode* next;
  ListNode* prev;
  PoolBlock* block;
  std::int32_t sentinel;  // 1 for the head only
  std::int32_t status;    // head: 1 while every append since the last clear got memory
  std::int32_t length;    // data nodes: payload length; the head ends before this field
};

using RecordList = ListNode*;

constexpr std::size_t kPoolPayloadBytes = 25000;
constexpr std::size_t kPoolBlockHeaderSize = sizeof(PoolBlock);
constexpr std::size_t kPoolAlignment = alignof(ListNode);
constexpr std::size_t kListHeadSize = offsetof(ListNode, length);
constexpr std::size_t kListNodeHeaderSize = sizeof(ListNode);

constexpr std::size_t PoolRoundUp(std::size_t size) {
  return (size + kPoolAlignment - 1) / kPoolAlignment * kPoolAlignment;
}

// Pool space one data node of the given payload length takes.
constexpr std::size_t NodeFootprint(std::size_t length) {
  return PoolRoundUp(kListNodeHeaderSize + length);
}

// Returns an address inside the current block; opens a new block when the
// request does not fit. Heap exhaustion ends the process with exit code 1.
void* PoolAlloc(std::size_t size);
void PoolRelease(PoolBlock* block);

RecordList ListCreate();
void ListAppend(RecordList list, const void* data, std::size_t length);
void* ListFirst(RecordList list);
void* ListNext(void* payload);
void* ListPrev(void* payload);
std::size_t ListPayloadLength(const void* payload);
void ListClear(RecordList list);
void ListDestroy(RecordList* list);
int ListIsEmpty(RecordList list);

// Reorders the nodes (not their contents) so that `less` holds; nodes that
// compare equal keep their order.
void ListSortStable(RecordList list, bool (*less)(const void* a, const void* b));

// Lets tests and the soak see into the pool, and make the heap refuse.
struct PoolStats {
  const PoolBlock* current;
  long liveBlocks;
};
PoolStats GetPoolStats();
using PoolHeapAlloc = void* (*)(std::size_t);
using PoolHeapFree = void (*)(void*);
// Null arguments restore malloc and free.
void SetPoolHeap(PoolHeapAlloc alloc, PoolHeapFree release);

}  // namespace druvo
