#pragma once

#include "Event.h"
#include "Store.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// Group commit: one thread owns the store and writes whatever has queued up since its last
// write in one transaction, so that a burst of requests costs a handful of commits instead of
// one each. Every event's callback learns the outcome of the write that carried it.
class EventWriter
{
public:
    using Done = std::function<void(const StoreResult &result)>;

    struct Options
    {
        // A full queue refuses at once: a client retrying later beats memory without bound.
        size_t queueCapacity = 20000;
        size_t batchSize = 1000;
    };

    enum class Submitted {
        Queued,    // done will be called, from the writer's thread
        Full,      // refused at once; done is not called
        Stopped,   // the writer is shutting down; done is not called
    };

    explicit EventWriter(std::unique_ptr<Store> store);
    EventWriter(std::unique_ptr<Store> store, const Options &options);
    ~EventWriter();

    Submitted submit(Event event, Done done);

    // Refuses new events, writes everything already queued and waits for the thread to end.
    void stop();

private:
    struct Entry
    {
        Event event;
        Done done;
    };

    void run();

    std::unique_ptr<Store> m_store;
    const Options m_options;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Entry> m_queue;
    bool m_stopping = false;
    std::thread m_thread;
};
