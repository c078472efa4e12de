#pragma once

#include "Event.h"
#include "Store.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Group commit: a thread owns each store and writes whatever has queued up since its last
// write in one transaction, so that a burst of requests costs a handful of commits instead of
// one each. Every event's callback learns the outcome of the write that carried it. With more
// than one store (PostgreSQL), one batch is prepared while another waits for its commit; a
// user's events always go through the same store, in the order they came, so that a
// conversion's cancel is written before its completion.
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
    // One writing thread per store; the stores must be connections to one database.
    EventWriter(std::vector<std::unique_ptr<Store>> stores, const Options &options);
    ~EventWriter();

    Submitted submit(Event event, Done done);

    // Refuses new events, writes everything already queued and waits for the threads to end.
    void stop();

private:
    struct Entry
    {
        Event event;
        Done done;
    };
    // One store, its queue and the thread that writes it.
    struct Lane
    {
        std::unique_ptr<Store> store;
        std::condition_variable wake;
        std::deque<Entry> queue;
        std::thread thread;
    };

    void run(Lane *lane);

    const Options m_options;
    std::mutex m_mutex;   // guards every lane's queue and m_queued
    std::vector<std::unique_ptr<Lane>> m_lanes;
    size_t m_queued = 0;
    bool m_stopping = false;
};
