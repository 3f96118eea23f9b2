// ItemContainer: queue and list codes, link order, ownership (each item released
// exactly once) and the blocking wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/ItemContainer.hpp"

namespace {

// Counts how many times each id's resource is released: a moved-from item holds
// nothing, so only the last owner's release is counted.
std::map<int, int> gReleases;

struct ReleaseCounter
{
    void operator()(int *id) const
    {
        ++gReleases[*id];
        delete id;
    }
};

struct Tracked
{
    std::unique_ptr<int, ReleaseCounter> id;
    static Tracked Make(int value) { return Tracked{std::unique_ptr<int, ReleaseCounter>(new int(value))}; }
    int Id() const { return id ? *id : -1; }
};

class ItemContainerTest : public ::testing::Test
{
protected:
    void SetUp() override { gReleases.clear(); }

    // Ids from head to tail, and from tail to head (reversed back), must agree.
    static std::vector<int> Ids(ItemContainer<Tracked> &c)
    {
        std::vector<int> forwards, backwards;
        c.visit([&](Tracked &t) { forwards.push_back(t.Id()); return 0; });
        c.visit([&](Tracked &t) { backwards.insert(backwards.begin(), t.Id()); return 0; }, true);
        EXPECT_EQ(forwards, backwards);
        return forwards;
    }
};

TEST_F(ItemContainerTest, QueueCodes)
{
    ItemContainer<Tracked> q(3);
    Tracked                out;
    EXPECT_EQ(-900, q.pop(out)); // empty
    for (int i = 1; i <= 3; ++i)
        ASSERT_EQ(0, q.push(Tracked::Make(i)));
    EXPECT_EQ(-901, q.push(Tracked::Make(4))); // full: refused and released by the caller side
    EXPECT_EQ(3, q.list_count());
    EXPECT_EQ(1, gReleases[4]);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), Ids(q));

    ASSERT_EQ(0, q.pop(out));
    EXPECT_EQ(1, out.Id());
    EXPECT_EQ(0, gReleases[1]); // the popper owns it now
    EXPECT_EQ(0, q.push(Tracked::Make(5)));
    EXPECT_EQ(-901, q.push(Tracked::Make(6), false)); // full again, at either end
    EXPECT_EQ((std::vector<int>{2, 3, 5}), Ids(q));
}

TEST_F(ItemContainerTest, PushAtHeadAndDrain)
{
    ItemContainer<Tracked> q(8);
    q.push(Tracked::Make(1));
    q.push(Tracked::Make(2), false);
    q.push(Tracked::Make(3), true);
    EXPECT_EQ((std::vector<int>{2, 1, 3}), Ids(q));
    q.drain();
    EXPECT_EQ(0, q.list_count());
    EXPECT_EQ((std::map<int, int>{{1, 1}, {2, 1}, {3, 1}}), gReleases);
    Tracked out;
    EXPECT_EQ(-900, q.pop(out));
}

TEST_F(ItemContainerTest, InsertPositions)
{
    struct Case
    {
        std::vector<int> start;
        int32_t          position;
        int32_t          result;
        std::vector<int> after;
    };
    const Case cases[] = {
        {{}, -1, 0, {9}},
        {{}, 0, 0, {9}},
        {{}, 1, -908, {}},
        {{1, 2, 3}, -1, 0, {1, 2, 3, 9}},
        {{1, 2, 3}, 3, 0, {1, 2, 3, 9}},   // position count appends
        {{1, 2, 3}, 4, -908, {1, 2, 3}},   // count + 1
        {{1, 2, 3}, 0, 0, {9, 1, 2, 3}},   // new head
        {{1, 2, 3}, 1, 0, {1, 9, 2, 3}},
        {{1, 2, 3}, 2, 0, {1, 2, 9, 3}},
        {{1, 2, 3, 4}, 0, -907, {1, 2, 3, 4}}, // full at capacity 4
    };
    for (const Case &c : cases)
    {
        ItemContainer<Tracked> list(4);
        for (int id : c.start)
            ASSERT_EQ(0, list.insert(-1, Tracked::Make(id)));
        EXPECT_EQ(c.result, list.insert(c.position, Tracked::Make(9))) << "position " << c.position;
        EXPECT_EQ(c.after, Ids(list)) << "position " << c.position;
        EXPECT_EQ(static_cast<int32_t>(c.after.size()), list.list_count());
    }
}

TEST_F(ItemContainerTest, RemoveAtAndClear)
{
    ItemContainer<Tracked> list(8);
    for (int id = 1; id <= 4; ++id)
        list.insert(-1, Tracked::Make(id));
    EXPECT_EQ(-908, list.remove_at(4)); // index equal to count
    EXPECT_EQ(-908, list.remove_at(-1));
    EXPECT_EQ(0, list.remove_at(1));
    EXPECT_EQ((std::vector<int>{1, 3, 4}), Ids(list));
    EXPECT_EQ(1, gReleases[2]);
    EXPECT_EQ(0, list.remove_at(2));
    EXPECT_EQ((std::vector<int>{1, 3}), Ids(list));
    EXPECT_EQ(0, list.clear());
    EXPECT_EQ(0, list.list_count());
    EXPECT_EQ((std::map<int, int>{{1, 1}, {2, 1}, {3, 1}, {4, 1}}), gReleases);
    EXPECT_EQ(-908, list.remove_at(0));
}

TEST_F(ItemContainerTest, VisitorRemovingEveryNodeReleasesEachOnce)
{
    for (bool backwards : {false, true})
    {
        gReleases.clear();
        ItemContainer<Tracked> list(8);
        for (int id = 1; id <= 5; ++id)
            list.insert(-1, Tracked::Make(id));
        std::vector<int> visited;
        int32_t result = list.visit([&](Tracked &t) { visited.push_back(t.Id()); return kVisitRemove; }, backwards);
        EXPECT_EQ(0, result);
        EXPECT_EQ(0, list.list_count());
        const std::vector<int> order = backwards ? std::vector<int>{5, 4, 3, 2, 1} : std::vector<int>{1, 2, 3, 4, 5};
        EXPECT_EQ(order, visited);
        EXPECT_EQ((std::map<int, int>{{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}}), gReleases);
        // Usable afterwards: both ends were reset.
        list.insert(-1, Tracked::Make(7));
        list.insert(0, Tracked::Make(6));
        EXPECT_EQ((std::vector<int>{6, 7}), Ids(list));
    }
}

TEST_F(ItemContainerTest, VisitAnswers)
{
    ItemContainer<Tracked> list(8);
    EXPECT_EQ(0, list.visit([](Tracked &) { return 7; })); // empty container
    for (int id = 1; id <= 5; ++id)
        list.insert(-1, Tracked::Make(id));

    int calls = 0;
    EXPECT_EQ(kVisitStop, list.visit([&](Tracked &) { ++calls; return kVisitStop; }));
    EXPECT_EQ(1, calls);

    // Remove the even ids while walking backwards, continue otherwise.
    std::vector<int> visited;
    int32_t          result = list.visit(
        [&](Tracked &t) {
            visited.push_back(t.Id());
            return t.Id() % 2 == 0 ? kVisitRemove : 5;
        },
        true);
    EXPECT_EQ(5, result); // the last answer
    EXPECT_EQ((std::vector<int>{5, 4, 3, 2, 1}), visited);
    EXPECT_EQ((std::vector<int>{1, 3, 5}), Ids(list));
    EXPECT_EQ((std::map<int, int>{{2, 1}, {4, 1}}), gReleases);

    // The visitor may change the item in place.
    list.visit([](Tracked &t) { *t.id += 10; return 0; });
    EXPECT_EQ((std::vector<int>{11, 13, 15}), Ids(list));

    // Removal of the last node walked yields 0.
    EXPECT_EQ(0, list.visit([](Tracked &t) { return t.Id() == 15 ? kVisitRemove : 3; }));
}

TEST_F(ItemContainerTest, WaitForItemReturnsOnPushAndOnTimeout)
{
    using namespace std::chrono;
    ItemContainer<int> q(4);

    auto start = steady_clock::now();
    EXPECT_FALSE(q.wait_for_item(milliseconds(30)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(30));

    std::thread producer([&] {
        std::this_thread::sleep_for(milliseconds(20));
        q.push(42);
    });
    start = steady_clock::now();
    EXPECT_TRUE(q.wait_for_item(seconds(10)));
    EXPECT_LT(steady_clock::now() - start, seconds(5));
    producer.join();
    int out = 0;
    EXPECT_EQ(0, q.pop(out));
    EXPECT_EQ(42, out);

    // A queue that already holds an item answers at once; wake() releases a waiter.
    q.push(1);
    EXPECT_TRUE(q.wait_for_item(seconds(10)));
    q.drain();
    std::thread waker([&] {
        std::this_thread::sleep_for(milliseconds(20));
        q.wake();
    });
    start = steady_clock::now();
    EXPECT_FALSE(q.wait_for_item(seconds(10)));
    EXPECT_LT(steady_clock::now() - start, seconds(5));
    waker.join();
}

TEST_F(ItemContainerTest, ConcurrentProducersAndConsumerLoseNothing)
{
    ItemContainer<int>  q(64);
    constexpr int       kProducers = 3;
    constexpr int       kEach      = 2000;
    std::atomic<int>    refused{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
    {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i)
            {
                while (q.push(p * kEach + i) == -901)
                {
                    refused.fetch_add(1);
                    std::this_thread::yield();
                }
            }
        });
    }
    std::vector<int> seen(kProducers * kEach, 0);
    int              taken = 0;
    while (taken < kProducers * kEach)
    {
        int v;
        if (q.pop(v) == 0)
        {
            ++seen[static_cast<size_t>(v)];
            ++taken;
        }
        else
            q.wait_for_item(std::chrono::milliseconds(50));
    }
    for (std::thread &t : producers)
        t.join();
    for (int count : seen)
        ASSERT_EQ(1, count);
    EXPECT_EQ(0, q.list_count());
}

} // namespace
