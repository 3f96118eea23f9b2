// ItemContainer: the bounded, mutex-guarded, doubly linked container behind every
// queue and list that crosses threads.
//
// Items are taken in by copy (or move) and owned by the container until popped or
// removed; a popped item belongs to the caller. Nested resources are released by the
// item type's own destructor, so an item type that owns a JSON tree frees it once.
//
// Queue interface: push, pop, drain. List interface: list_count, insert, remove_at,
// visit, clear. Results: 0 success; -3 no memory; -900 empty; -901 queue full;
// -907 list full; -908 index out of range.
//
// Consumers that would otherwise poll can block in wait_for_item() until a producer
// pushes or inserts, or until their next deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <iterator>
#include <list>
#include <mutex>
#include <new>
#include <utility>

enum VisitAnswer : int32_t
{
    kVisitContinue = 0,
    kVisitRemove   = 1, // unlink the node, release its item, walk on
    kVisitStop     = 2,
};

template <typename T> class ItemContainer
{
public:
    explicit ItemContainer(int32_t capacity)
        : capacity_(capacity)
    {
    }
    ItemContainer(const ItemContainer &)            = delete;
    ItemContainer &operator=(const ItemContainer &) = delete;

    // Appends at the tail (or puts before the head); -901 when full, -3 without memory.
    int32_t push(T item, bool at_tail = true)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (static_cast<int32_t>(items_.size()) >= capacity_)
                return -901;
            try
            {
                if (at_tail)
                    items_.push_back(std::move(item));
                else
                    items_.push_front(std::move(item));
            }
            catch (const std::bad_alloc &)
            {
                return -3;
            }
        }
        ready_.notify_all();
        return 0;
    }

    // Takes the head item; -900 when empty.
    int32_t pop(T &out)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (items_.empty())
            return -900;
        out = std::move(items_.front());
        items_.pop_front();
        return 0;
    }

    // Releases every item.
    void drain()
    {
        std::list<T> gone;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            gone.swap(items_);
        }
    }

    int32_t list_count() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int32_t>(items_.size());
    }

    // Inserts before the node at position; -1 or count appends. -908 position above
    // count (or below -1), -907 full, -3 without memory.
    int32_t insert(int32_t position, T item)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            int32_t                     count = static_cast<int32_t>(items_.size());
            if (position > count || position < -1)
                return -908;
            if (count >= capacity_)
                return -907;
            try
            {
                if (position == -1 || position == count)
                    items_.push_back(std::move(item));
                else
                    items_.insert(std::next(items_.begin(), position), std::move(item));
            }
            catch (const std::bad_alloc &)
            {
                return -3;
            }
        }
        ready_.notify_all();
        return 0;
    }

    // Removes and releases the item at index; -908 when index is not below count.
    int32_t remove_at(int32_t index)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index < 0 || index >= static_cast<int32_t>(items_.size()))
            return -908;
        items_.erase(std::next(items_.begin(), index));
        return 0;
    }

    // Walks the items (head to tail, or tail to head) with the container locked.
    // The visitor, int32_t(T &), answers kVisitRemove, kVisitStop or anything else to
    // continue; it must not call back into this container. Returns the last answer,
    // 0 after a removal and 0 for an empty container.
    template <typename Visitor> int32_t visit(Visitor &&visitor, bool backwards = false)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int32_t                     result = 0;
        if (!backwards)
        {
            for (auto it = items_.begin(); it != items_.end();)
            {
                result = visitor(*it);
                if (result == kVisitRemove)
                {
                    it     = items_.erase(it);
                    result = 0;
                }
                else if (result == kVisitStop)
                    break;
                else
                    ++it;
            }
        }
        else
        {
            for (auto it = items_.end(); it != items_.begin();)
            {
                auto cur = std::prev(it);
                result   = visitor(*cur);
                if (result == kVisitRemove)
                {
                    it     = items_.erase(cur); // successor; walking on goes to its predecessor
                    result = 0;
                }
                else if (result == kVisitStop)
                    break;
                else
                    it = cur;
            }
        }
        return result;
    }

    // Removes every item; 0.
    int32_t clear()
    {
        while (remove_at(0) == 0)
        {
        }
        return 0;
    }

    int32_t capacity() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return capacity_;
    }
    void set_capacity(int32_t capacity)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        capacity_ = capacity;
    }

    // Blocks until the container holds an item, wake() is called, or the timeout
    // passes. True when it holds an item.
    template <typename Rep, typename Period> bool wait_for_item(std::chrono::duration<Rep, Period> timeout)
    {
        return wait_for_item(timeout, wake_count());
    }

    // The same, but also returns at once when wake() was called since `seen_wakes`
    // (a wake_count() read before the caller looked at the state it waits on), so a
    // wake between that look and the wait is not lost.
    template <typename Rep, typename Period>
    bool wait_for_item(std::chrono::duration<Rep, Period> timeout, uint64_t seen_wakes)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait_for(lock, timeout, [&] { return !items_.empty() || wakes_ != seen_wakes; });
        return !items_.empty();
    }

    uint64_t wake_count() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return wakes_;
    }

    // Releases every waiter of wait_for_item (used when stopping a consumer).
    void wake()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++wakes_;
        }
        ready_.notify_all();
    }

private:
    mutable std::mutex      mutex_;
    std::condition_variable ready_;
    std::list<T>            items_;
    int32_t                 capacity_;
    uint64_t                wakes_ = 0;
};
