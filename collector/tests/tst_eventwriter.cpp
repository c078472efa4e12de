// The group-commit writer against stores that the test holds up at will: what queues during a
// write goes in the next one, a full queue refuses at once, every callback hears its write's
// outcome, stopping writes what was already queued, and two stores share users, not orders.

#include "EventWriter.h"

#include <QTest>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {

// A store whose append waits until released, then answers with a set result.
class GatedStore : public Store
{
public:
    StoreResult append(const std::vector<Event> &events) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        batches.push_back(events.size());
        written.insert(written.end(), events.begin(), events.end());
        ++entered;
        changed.notify_all();
        changed.wait(lock, [this] { return open; });
        return result;
    }

    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }

    bool waitEntered(int count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10),
                                [&] { return entered >= count; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int entered = 0;
    std::vector<size_t> batches;
    std::vector<Event> written;
    StoreResult result;

    StoreResult forEachEvent(const std::function<void(const QByteArray &)> &) override
    {
        return {};
    }
    qint64 forgetUser(const QString &) override { return 0; }
    qint64 deleteEventsBefore(qint64) override { return 0; }
    std::optional<std::vector<Announcement>> announcements() override { return {}; }
    StoreResult announce(const Announcement &) override { return {}; }
    bool withdraw(qint32, std::optional<qint32>) override { return false; }
    std::optional<std::vector<DailyCount>> dailyCounts(const QDate &, const QDate &,
                                                       std::optional<qint32>) override
    {
        return {};
    }
    std::optional<std::vector<DurationBucket>> durations(const QDate &, const QDate &,
                                                         std::optional<qint32>) override
    {
        return {};
    }
    StoreResult setAccount(const QString &, const QByteArray &) override { return {}; }
    std::optional<QByteArray> passwordHash(const QString &) override { return {}; }
    StoreResult addSession(const QByteArray &, const QString &, const QByteArray &,
                           qint64) override
    {
        return {};
    }
    std::optional<Session> session(const QByteArray &) override { return {}; }
    void removeSession(const QByteArray &) override {}
};

Event makeEvent(int number)
{
    Event event;
    event.method = QStringLiteral("AppOpened");
    event.userId = QStringLiteral("u-%1").arg(number);
    return event;
}

// Outcomes as the callbacks report them, from the writer's thread.
struct Outcomes
{
    std::mutex mutex;
    std::vector<StoreResult::Status> statuses;

    EventWriter::Done callback()
    {
        return [this](const StoreResult &result) {
            std::lock_guard<std::mutex> lock(mutex);
            statuses.push_back(result.status);
        };
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return statuses.size();
    }
};

} // namespace

class TestEventWriter : public QObject
{
    Q_OBJECT

private slots:
    void groupsWhatQueuesDuringAWrite();
    void fullQueueRefusesAtOnce();
    void failureReachesEveryEventOfTheBatch_data();
    void failureReachesEveryEventOfTheBatch();
    void stopWritesWhatIsQueued();
    void storesShareTheLoadAndKeepEachUsersOrder();
};

void TestEventWriter::groupsWhatQueuesDuringAWrite()
{
    auto owned = std::make_unique<GatedStore>();
    GatedStore *store = owned.get();
    EventWriter::Options options;
    options.batchSize = 4;
    EventWriter writer(std::move(owned), options);
    Outcomes outcomes;

    QCOMPARE(writer.submit(makeEvent(0), outcomes.callback()), EventWriter::Submitted::Queued);
    QVERIFY(store->waitEntered(1));
    for (int i = 1; i <= 6; ++i) {
        QCOMPARE(writer.submit(makeEvent(i), outcomes.callback()),
                 EventWriter::Submitted::Queued);
    }
    QCOMPARE(outcomes.count(), size_t(0));   // nobody hears SUCCESS before the write ends
    store->release();
    QTRY_COMPARE(outcomes.count(), size_t(7));
    writer.stop();
    QCOMPARE(store->batches, (std::vector<size_t>{1, 4, 2}));
    for (StoreResult::Status status : outcomes.statuses)
        QCOMPARE(status, StoreResult::Ok);
}

void TestEventWriter::fullQueueRefusesAtOnce()
{
    auto owned = std::make_unique<GatedStore>();
    GatedStore *store = owned.get();
    EventWriter::Options options;
    options.queueCapacity = 2;
    EventWriter writer(std::move(owned), options);
    Outcomes outcomes;

    QCOMPARE(writer.submit(makeEvent(0), outcomes.callback()), EventWriter::Submitted::Queued);
    QVERIFY(store->waitEntered(1));   // out of the queue, being written
    QCOMPARE(writer.submit(makeEvent(1), outcomes.callback()), EventWriter::Submitted::Queued);
    QCOMPARE(writer.submit(makeEvent(2), outcomes.callback()), EventWriter::Submitted::Queued);
    QCOMPARE(writer.submit(makeEvent(3), outcomes.callback()), EventWriter::Submitted::Full);
    store->release();
    QTRY_COMPARE(outcomes.count(), size_t(3));
    // Room again once written.
    QCOMPARE(writer.submit(makeEvent(4), outcomes.callback()), EventWriter::Submitted::Queued);
    QTRY_COMPARE(outcomes.count(), size_t(4));
}

void TestEventWriter::failureReachesEveryEventOfTheBatch_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("busy") << int(StoreResult::Busy);
    QTest::newRow("full") << int(StoreResult::Full);
    QTest::newRow("unavailable") << int(StoreResult::Unavailable);
}

void TestEventWriter::failureReachesEveryEventOfTheBatch()
{
    QFETCH(int, status);
    auto owned = std::make_unique<GatedStore>();
    GatedStore *store = owned.get();
    store->result.status = StoreResult::Status(status);
    EventWriter writer(std::move(owned));
    Outcomes outcomes;

    writer.submit(makeEvent(0), outcomes.callback());
    QVERIFY(store->waitEntered(1));
    writer.submit(makeEvent(1), outcomes.callback());
    writer.submit(makeEvent(2), outcomes.callback());
    store->release();
    QTRY_COMPARE(outcomes.count(), size_t(3));
    for (StoreResult::Status outcome : outcomes.statuses)
        QCOMPARE(int(outcome), status);
}

void TestEventWriter::stopWritesWhatIsQueued()
{
    auto owned = std::make_unique<GatedStore>();
    GatedStore *store = owned.get();
    EventWriter writer(std::move(owned));
    Outcomes outcomes;

    writer.submit(makeEvent(0), outcomes.callback());
    QVERIFY(store->waitEntered(1));
    for (int i = 1; i < 50; ++i)
        writer.submit(makeEvent(i), outcomes.callback());
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        writer.stop();
        stopped = true;
    });
    QTest::qWait(100);
    QVERIFY(!stopped);   // held up by the write in progress
    store->release();
    stopper.join();
    QCOMPARE(outcomes.count(), size_t(50));
    QCOMPARE(writer.submit(makeEvent(99), outcomes.callback()), EventWriter::Submitted::Stopped);
    QCOMPARE(store->batches, (std::vector<size_t>{1, 49}));
}

void TestEventWriter::storesShareTheLoadAndKeepEachUsersOrder()
{
    std::vector<std::unique_ptr<Store>> owned;
    std::vector<GatedStore *> stores;
    for (int i = 0; i < 2; ++i) {
        owned.push_back(std::make_unique<GatedStore>());
        stores.push_back(static_cast<GatedStore *>(owned.back().get()));
    }
    EventWriter::Options options;
    options.batchSize = 5;
    EventWriter writer(std::move(owned), options);
    Outcomes outcomes;

    // Rounds of one event from each of twenty users; the session ID numbers the user's events.
    const int users = 20;
    const int rounds = 4;
    for (int round = 0; round < rounds; ++round) {
        for (int user = 0; user < users; ++user) {
            Event event = makeEvent(user);
            event.appSessionId = QString::number(round);
            QCOMPARE(writer.submit(std::move(event), outcomes.callback()),
                     EventWriter::Submitted::Queued);
        }
    }
    // Both stores are written at once: neither waits for the other's commit.
    QVERIFY(stores[0]->waitEntered(1));
    QVERIFY(stores[1]->waitEntered(1));
    stores[0]->release();
    stores[1]->release();
    QTRY_COMPARE(outcomes.count(), size_t(users * rounds));
    writer.stop();

    QHash<QString, int> storeOfUser;
    for (int i = 0; i < 2; ++i) {
        QHash<QString, int> nextRound;
        for (const Event &event : stores[i]->written) {
            QVERIFY2(storeOfUser.value(event.userId, i) == i, qPrintable(event.userId));
            storeOfUser.insert(event.userId, i);
            QCOMPARE(event.appSessionId.toInt(), nextRound.value(event.userId));
            nextRound[event.userId] += 1;
        }
        for (int count : std::as_const(nextRound))
            QCOMPARE(count, rounds);
    }
    QCOMPARE(storeOfUser.size(), users);
}

QTEST_GUILESS_MAIN(TestEventWriter)
#include "tst_eventwriter.moc"
