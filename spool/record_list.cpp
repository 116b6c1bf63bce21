#include "spool/record_list.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/reentrant_lock.h"

namespace druvo {

namespace {

struct RecordPool {
  ReentrantLock lock;
  PoolBlock* current = nullptr;
  long liveBlocks = 0;
  PoolHeapAlloc alloc = std::malloc;
  PoolHeapFree release = std::free;
};

RecordPool& Pool() {
  static RecordPool pool;
  return pool;
}

unsigned char* PayloadOf(PoolBlock* block) {
  return reinterpret_cast<unsigned char*>(block) + kPoolBlockHeaderSize;
}

ListNode* NodeOf(const void* payload) {
  return reinterpret_cast<ListNode*>(
      const_cast<unsigned char*>(static_cast<const unsigned char*>(payload)) - kListNodeHeaderSize);
}

void* PayloadOfNode(ListNode* node) {
  return reinterpret_cast<unsigned char*>(node) + kListNodeHeaderSize;
}

}  // namespace

void* PoolAlloc(std::size_t size) {
  RecordPool& pool = Pool();
  std::lock_guard<ReentrantLock> guard(pool.lock);
  PoolBlock* block = pool.current;
  if (block == nullptr || static_cast<std::size_t>(block->used) + size > kPoolPayloadBytes) {
    void* memory = pool.alloc(kPoolBlockHeaderSize + kPoolPayloadBytes);
    // Without memory for its job list the program cannot go on.
    if (memory == nullptr) std::_Exit(1);
    block = static_cast<PoolBlock*>(memory);
    block->self = block;
    block->references = 0;
    block->used = 0;
    pool.current = block;
    ++pool.liveBlocks;
  }
  void* result = PayloadOf(block) + block->used;
  block->references += 1;
  block->used =
      static_cast<std::int32_t>(PoolRoundUp(static_cast<std::size_t>(block->used) + size));
  return result;
}

void PoolRelease(PoolBlock* block) {
  RecordPool& pool = Pool();
  std::lock_guard<ReentrantLock> guard(pool.lock);
  block->references -= 1;
  if (block->references <= 0) {
    if (block == pool.current) pool.current = nullptr;
    --pool.liveBlocks;
    pool.release(block->self);
  }
}

RecordList ListCreate() {
  RecordPool& pool = Pool();
  ListNode* head;
  {
    std::lock_guard<ReentrantLock> guard(pool.lock);
    head = static_cast<ListNode*>(PoolAlloc(kListHeadSize));
    if (head == nullptr) return nullptr;
    head->block = pool.current;
  }
  head->next = head;
  head->prev = head;
  head->sentinel = 1;
  head->status = 1;
  return head;
}

void ListAppend(RecordList list, const void* data, std::size_t length) {
  if (list == nullptr) return;
  if (length > kPoolPayloadBytes - kListNodeHeaderSize) {
    list->status = 0;  // no block could ever hold it
    return;
  }
  RecordPool& pool = Pool();
  ListNode* node;
  {
    std::lock_guard<ReentrantLock> guard(pool.lock);
    node = static_cast<ListNode*>(PoolAlloc(kListNodeHeaderSize + length));
    if (node == nullptr) {
      list->status = 0;
      return;
    }
    node->block = pool.current;
  }
  node->next = list;
  node->prev = list->prev;
  list->prev->next = node;
  list->prev = node;
  node->sentinel = 0;
  node->status = 0;
  node->length = static_cast<std::int32_t>(length);
  if (length > 0) std::memcpy(PayloadOfNode(node), data, length);
}

void* ListFirst(RecordList list) {
  if (list == nullptr || list->next->sentinel == 1) return nullptr;
  return PayloadOfNode(list->next);
}

void* ListNext(void* payload) {
  ListNode* next = NodeOf(payload)->next;
  return next->sentinel == 1 ? nullptr : PayloadOfNode(next);
}

void* ListPrev(void* payload) {
  ListNode* prev = NodeOf(payload)->prev;
  return prev->sentinel == 1 ? nullptr : PayloadOfNode(prev);
}

std::size_t ListPayloadLength(const void* payload) {
  return static_cast<std::size_t>(NodeOf(payload)->length);
}

void ListClear(RecordList list) {
  if (list == nullptr) return;
  ListNode* node = list->next;
  while (node != list) {
    ListNode* next = node->next;
    PoolRelease(node->block);
    node = next;
  }
  list->status = 1;
  list->next = list;
  list->prev = list;
}

void ListDestroy(RecordList* list) {
  if (list == nullptr || *list == nullptr) return;
  ListClear(*list);
  PoolRelease((*list)->block);
  *list = nullptr;
}

int ListIsEmpty(RecordList list) { return (list == nullptr || list->next == list) ? 1 : 0; }

void ListSortStable(RecordList list, bool (*less)(const void* a, const void* b)) {
  if (list == nullptr || list->next == list || list->next->next == list) return;
  std::vector<ListNode*> nodes;
  for (ListNode* node = list->next; node != list; node = node->next) nodes.push_back(node);
  std::stable_sort(nodes.begin(), nodes.end(), [less](ListNode* a, ListNode* b) {
    return less(PayloadOfNode(a), PayloadOfNode(b));
  });
  ListNode* prev = list;
  for (ListNode* node : nodes) {
    prev->next = node;
    node->prev = prev;
    prev = node;
  }
  prev->next = list;
  list->prev = prev;
}

PoolStats GetPoolStats() {
  RecordPool& pool = Pool();
  std::lock_guard<ReentrantLock> guard(pool.lock);
  return PoolStats{pool.current, pool.liveBlocks};
}

void SetPoolHeap(PoolHeapAlloc alloc, PoolHeapFree release) {
  RecordPool& pool = Pool();
  std::lock_guard<ReentrantLock> guard(pool.lock);
  pool.alloc = alloc != nullptr ? alloc : std::malloc;
  pool.release = release != nullptr ? release : std::free;
}

}  // namespace druvo
