#include "EventWriter.h"

#include <QHash>

#include <algorithm>
#include <exception>
#include <vector>

EventWriter::EventWriter(std::unique_ptr<Store> store)
    : EventWriter(std::move(store), Options())
{
}

EventWriter::EventWriter(std::unique_ptr<Store> store, const Options &options)
    : EventWriter(
        [&store] {
            std::vector<std::unique_ptr<Store>> stores;
            stores.push_back(std::move(store));
            return stores;
        }(),
        options)
{
}

EventWriter::EventWriter(std::vector<std::unique_ptr<Store>> stores, const Options &options)
    : m_options(options)
{
    if (stores.empty())
        stores.emplace_back();   // answers every event "no database"
    for (std::unique_ptr<Store> &store : stores) {
        m_lanes.push_back(std::make_unique<Lane>());
        m_lanes.back()->store = std::move(store);
    }
    for (const std::unique_ptr<Lane> &lane : m_lanes)
        lane->thread = std::thread([this, l = lane.get()] { run(l); });
}

EventWriter::~EventWriter()
{
    stop();
}

EventWriter::Submitted EventWriter::submit(Event event, Done done)
{
    Lane *lane = m_lanes.front().get();
    if (m_lanes.size() > 1)
        lane = m_lanes[qHash(event.userId) % m_lanes.size()].get();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return Submitted::Stopped;
        if (m_queued >= m_options.queueCapacity)
            return Submitted::Full;
        lane->queue.push_back(Entry{std::move(event), std::move(done)});
        ++m_queued;
    }
    lane->wake.notify_one();
    return Submitted::Queued;
}

void EventWriter::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    for (const std::unique_ptr<Lane> &lane : m_lanes) {
        lane->wake.notify_all();
        if (lane->thread.joinable())
            lane->thread.join();
    }
}

void EventWriter::run(Lane *lane)
{
    std::vector<Event> events;
    std::vector<Done> callbacks;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            lane->wake.wait(lock, [&] { return m_stopping || !lane->queue.empty(); });
            if (lane->queue.empty())
                return;   // stopping, and everything queued has been written
            const size_t count =
                std::min(lane->queue.size(), std::max<size_t>(1, m_options.batchSize));
            events.reserve(count);
            callbacks.reserve(count);
            for (size_t i = 0; i < count; ++i) {
                events.push_back(std::move(lane->queue.front().event));
                callbacks.push_back(std::move(lane->queue.front().done));
                lane->queue.pop_front();
            }
            m_queued -= count;
        }

        StoreResult result;
        if (!lane->store) {
            result = {StoreResult::Unavailable, QStringLiteral("no database")};
        } else {
            // A throwing store must not take the whole batch's answers down with the thread.
            try {
                result = lane->store->append(events);
            } catch (const std::exception &error) {
                result = {StoreResult::Failed, QString::fromLocal8Bit(error.what())};
            } catch (...) {
                result = {StoreResult::Failed, QStringLiteral("storage error")};
            }
        }
        for (const Done &done : callbacks) {
            if (done)
                done(result);
        }
        events.clear();
        callbacks.clear();
    }
}
