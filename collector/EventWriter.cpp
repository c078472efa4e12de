#include "EventWriter.h"

#include <algorithm>
#include <exception>
#include <vector>

EventWriter::EventWriter(std::unique_ptr<Store> store)
    : EventWriter(std::move(store), Options())
{
}

EventWriter::EventWriter(std::unique_ptr<Store> store, const Options &options)
    : m_store(std::move(store))
    , m_options(options)
{
    m_thread = std::thread([this] { run(); });
}

EventWriter::~EventWriter()
{
    stop();
}

EventWriter::Submitted EventWriter::submit(Event event, Done done)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return Submitted::Stopped;
        if (m_queue.size() >= m_options.queueCapacity)
            return Submitted::Full;
        m_queue.push_back(Entry{std::move(event), std::move(done)});
    }
    m_wake.notify_one();
    return Submitted::Queued;
}

void EventWriter::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void EventWriter::run()
{
    std::vector<Event> events;
    std::vector<Done> callbacks;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;   // stopping, and everything queued has been written
            const size_t count =
                std::min(m_queue.size(), std::max<size_t>(1, m_options.batchSize));
            events.reserve(count);
            callbacks.reserve(count);
            for (size_t i = 0; i < count; ++i) {
                events.push_back(std::move(m_queue.front().event));
                callbacks.push_back(std::move(m_queue.front().done));
                m_queue.pop_front();
            }
        }

        StoreResult result;
        if (!m_store) {
            result = {StoreResult::Unavailable, QStringLiteral("no database")};
        } else {
            // A throwing store must not take the whole batch's answers down with the thread.
            try {
                result = m_store->append(events);
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
