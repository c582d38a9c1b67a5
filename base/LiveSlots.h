#pragma once
// Which record each posted completion-port operation belongs to. A record is
// held here from the post of an operation on one of its slots until that
// completion is taken, so a completion finds its record in O(1) and a record
// dropped from its table meanwhile still outlives every operation in flight.

#include "base/CompletionPort.h"

#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

template <typename Record>
class LiveSlots {
public:
    // Holds the record for the slot, then posts; the hold is let go again when
    // the post is refused. post() returns 0 or an errno, as the port's posts do.
    template <typename Post>
    int post(const CompletionSlot *slot, const std::shared_ptr<Record> &record, Post &&postOperation)
    {
        {
            std::lock_guard lock(m_mutex);
            m_records[slot] = record;
        }
        const int error = postOperation();
        if (error != 0) {
            std::lock_guard lock(m_mutex);
            m_records.erase(slot);
        }
        return error;
    }

    // The record of a completed slot, let go by this table; null when the slot
    // belongs to no live record (the completion is then dropped).
    std::shared_ptr<Record> take(const CompletionSlot *slot)
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_records.find(slot);
        if (it == m_records.end())
            return nullptr;
        std::shared_ptr<Record> record = std::move(it->second);
        m_records.erase(it);
        return record;
    }

    // Lets every record go; only once no worker waits on the port any more.
    void clear()
    {
        std::lock_guard lock(m_mutex);
        m_records.clear();
    }

private:
    std::mutex m_mutex;
    std::unordered_map<const CompletionSlot *, std::shared_ptr<Record>> m_records;
};
