#include "IntrusiveList.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Item {
  explicit Item(int v) : value(v) {}
  int value;
  zrperf::IntrusiveLink<Item> link;
};
using List = zrperf::IntrusiveList<Item, &Item::link>;

std::vector<int> Values(const List& list) {
  std::vector<int> values;
  list.ForEach([&](Item& item) { values.push_back(item.value); });
  return values;
}

TEST(IntrusiveList, RemovingTheFirstAMiddleOrTheLastElementKeepsTheRestLinkedBothWays) {
  for (int removed = 0; removed < 4; ++removed) {
    Item items[] = {Item(0), Item(1), Item(2), Item(3)};
    List list;
    for (Item& item : items) list.PushFront(&item);
    EXPECT_EQ(Values(list), (std::vector<int>{3, 2, 1, 0}));
    list.Remove(&items[removed]);
    std::vector<int> expected{3, 2, 1, 0};
    expected.erase(expected.end() - 1 - removed);
    EXPECT_EQ(Values(list), expected) << removed;
    // Every neighbour's back link is right too: removing the rest in another
    // order, then linking the removed one again, leaves exactly it.
    for (int v = 0; v < 4; ++v)
      if (v != removed) list.Remove(&items[v]);
    EXPECT_TRUE(list.Empty());
    list.PushFront(&items[removed]);
    EXPECT_EQ(Values(list), (std::vector<int>{removed}));
    list.Remove(&items[removed]);
  }
}

}  // namespace
