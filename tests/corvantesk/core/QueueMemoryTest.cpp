#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "Corvantesk/core/QueueMemory.h"

using namespace corvantesk;

namespace {

std::vector<int> contents(const SlidingWindow<std::shared_ptr<int>>& window) {
    std::vector<int> values;
    for (const auto& value : window) {
        values.push_back(*value);
    }
    return values;
}

TEST(SlidingWindow, KeepsOrderAcrossFrontAndMiddleErasesAndCompaction) {
    SlidingWindow<std::shared_ptr<int>> window;
    window.adopt(SlidingWindow<std::shared_ptr<int>>::touchedStorage(6));
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    window.push_back(std::move(held));
    for (int i = 1; i < 6; ++i) {
        window.push_back(std::make_shared<int>(i));
    }
    window.erase(window.begin(), window.begin() + 2); // the front: lets go of the values at once
    EXPECT_TRUE(watch.expired());
    window.erase(window.begin() + 1, window.begin() + 2); // the middle
    EXPECT_EQ(contents(window), (std::vector<int>{2, 4, 5}));
    for (int i = 6; i < 9; ++i) { // the end reaches the capacity: the window moves to the front
        window.push_back(std::make_shared<int>(i));
    }
    EXPECT_EQ(contents(window), (std::vector<int>{2, 4, 5, 6, 7, 8}));
    EXPECT_EQ(*window[0], 2);
    window.erase(window.begin(), window.end());
    EXPECT_TRUE(window.empty());
    window.push_back(std::make_shared<int>(9));
    EXPECT_EQ(contents(window), (std::vector<int>{9}));
}

TEST(BlockPool, ReusesItsBlocksAndFallsBackToTheHeapBeyondThem) {
    BlockPool pool;
    void* early = pool.take(32); // before the reserve: from the heap, and given back there
    pool.reserve(40, 2);
    void* first = pool.take(40);
    void* second = pool.take(16);
    void* third = pool.take(40); // none left
    void* large = pool.take(4096);
    EXPECT_NE(first, second);
    pool.give(first);
    EXPECT_EQ(pool.take(8), first);
    for (void* block : {early, first, second, third, large}) {
        pool.give(block);
    }
    std::set<void*> again{pool.take(40), pool.take(40)};
    EXPECT_EQ(again, (std::set<void*>{first, second}));
    for (void* block : again) {
        pool.give(block);
    }
}

#if defined(__SANITIZE_ADDRESS__)
// The pool keeps AddressSanitizer's eye on events: a block given back is poisoned past its link.
TEST(BlockPoolDeathTest, AUseAfterGiveIsCaught) {
    EXPECT_DEATH(
        {
            BlockPool pool;
            pool.reserve(64, 1);
            auto* block = static_cast<volatile char*>(pool.take(64));
            block[32] = 1;
            pool.give(const_cast<char*>(block));
            block[32] = 2;
        },
        "use-after-poison");
}
#endif

} // namespace
