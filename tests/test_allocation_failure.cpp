// fillLinkedStructures when operator new fails: the failure reaches the
// caller, the caller's node is untouched and nothing allocated is leaked.
//
// This program replaces the global operator new and delete and exports them
// (ENABLE_EXPORTS), so the library loaded by path binds to them as well.
#include "library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace {

// Only calls made while `watching` is set count; the bookkeeping lives in
// fixed arrays because it runs inside operator new itself.
struct Allocations {
    bool watching = false;
    int failAt = 0; // the allocation number that throws; 0: none does
    int count = 0;
    std::size_t sizes[64] = {};
    void *live[64] = {};
    int liveCount = 0;
};
Allocations allocations;

void *allocate(std::size_t size) {
    if (allocations.watching) {
        ++allocations.count;
        if (allocations.count == allocations.failAt) {
            throw std::bad_alloc();
        }
        if (allocations.count <= 64) {
            allocations.sizes[allocations.count - 1] = size;
        }
    }
    void *block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    if (allocations.watching && allocations.liveCount < 64) {
        allocations.live[allocations.liveCount++] = block;
    }
    return block;
}

void deallocate(void *block) noexcept {
    if (allocations.watching) {
        void **end = allocations.live + allocations.liveCount;
        void **found = std::find(allocations.live, end, block);
        if (found != end) {
            *found = *(end - 1);
            --allocations.liveCount;
        }
    }
    std::free(block);
}

void watch(int failAt) {
    allocations = Allocations();
    allocations.failAt = failAt;
    allocations.watching = true;
}

} // namespace

void *operator new(std::size_t size) {
    return allocate(size);
}
void *operator new[](std::size_t size) {
    return allocate(size);
}
void operator delete(void *block) noexcept {
    deallocate(block);
}
void operator delete[](void *block) noexcept {
    deallocate(block);
}
void operator delete(void *block, std::size_t) noexcept {
    deallocate(block);
}
void operator delete[](void *block, std::size_t) noexcept {
    deallocate(block);
}

namespace {

TEST(FillLinkedStructures, ReplacedOperatorNewServesTheLibrary) {
    const auto fillLinkedStructures = FFIREF(fillLinkedStructures); // loads outside the count
    LinkedStructure head = {-5, nullptr};
    watch(0);
    fillLinkedStructures(&head);
    allocations.watching = false;

    ASSERT_EQ(allocations.count, 9) << "the library does not call this program's operator new";
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(allocations.sizes[i], sizeof(LinkedStructure)) << "allocation " << i + 1;
    }
    EXPECT_EQ(allocations.liveCount, 9);

    allocations.watching = true;
    int nodes = 0;
    for (LinkedStructure *node = head.next; node != nullptr && nodes < 20; ++nodes) {
        LinkedStructure *next = node->next;
        delete node;
        node = next;
    }
    allocations.watching = false;
    EXPECT_EQ(nodes, 9);
    EXPECT_EQ(allocations.liveCount, 0) << "a node was not allocated by operator new";
}

TEST(FillLinkedStructures, FailedAllocationReachesTheCallerAndLeaksNothing) {
    const auto fillLinkedStructures = FFIREF(fillLinkedStructures);
    for (int failAt = 1; failAt <= 9; ++failAt) {
        LinkedStructure sentinel;
        LinkedStructure head = {-5, &sentinel};
        watch(failAt);
        EXPECT_THROW(fillLinkedStructures(&head), std::bad_alloc)
            << "allocation " << failAt << " failed";
        allocations.watching = false;

        EXPECT_EQ(allocations.count, failAt) << "allocations went on after the failure";
        EXPECT_EQ(allocations.liveCount, 0)
            << allocations.liveCount << " nodes leaked when allocation " << failAt << " failed";
        EXPECT_EQ(head.value, -5) << "the caller's node was written, failure at " << failAt;
        EXPECT_EQ(head.next, &sentinel) << "the caller's node was written, failure at " << failAt;
    }
}

} // namespace
