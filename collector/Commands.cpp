#include "Commands.h"

#include "ApiHandler.h"
#include "CommandLine.h"
#include "Dashboard.h"
#include "EventWriter.h"
#include "HttpServer.h"
#include "PasswordHash.h"
#include "Store.h"

#include <QDateTime>
#include <QRegularExpression>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <limits>
#include <string>
#include <thread>

namespace {

const qint64 dayMs = 24 * 3600 * 1000;

void say(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

int usageError(const QString &text)
{
    std::fprintf(stderr, "kelvane-collector: %s\n", qPrintable(text));
    return 2;
}

int failure(const QString &text)
{
    std::fprintf(stderr, "kelvane-collector: %s\n", qPrintable(text));
    return 1;
}

// Every command needs the database; a missing one is a usage error, an unusable one is not.
bool openStore(const CommandLine &options, std::unique_ptr<Store> *store, int *status)
{
    const QString database = options.value(QStringLiteral("database"));
    if (database.isEmpty()) {
        *status = usageError(QStringLiteral("--database is required (sqlite:PATH or "
                                            "postgresql://...)"));
        return false;
    }
    QString error;
    *store = Store::open(database, &error);
    if (!*store) {
        *status = failure(QStringLiteral("cannot open the database: ") + error);
        return false;
    }
    return true;
}

void deleteExpired(Store *store, qint64 retentionDays)
{
    const qint64 before = QDateTime::currentMSecsSinceEpoch() - retentionDays * dayMs;
    const qint64 deleted = store->deleteEventsBefore(before);
    if (deleted < 0)
        std::fprintf(stderr, "kelvane-collector: deleting events older than %lld days failed\n",
                     qint64(retentionDays));
    else if (deleted > 0)
        say(QStringLiteral("deleted %1 events older than %2 days")
                .arg(deleted)
                .arg(retentionDays));
}

bool readAppAndBrand(const CommandLine &options, qint32 *appId, std::optional<qint32> *brandId,
                     QString *error)
{
    const qint64 low = std::numeric_limits<qint32>::min();
    const qint64 high = std::numeric_limits<qint32>::max();
    qint64 number = 0;
    if (!options.has(QStringLiteral("app-id"))) {
        *error = QStringLiteral("--app-id is required");
        return false;
    }
    if (!options.integer(QStringLiteral("app-id"), low, high, 0, &number, error))
        return false;
    *appId = qint32(number);
    if (options.has(QStringLiteral("brand-id"))) {
        if (!options.integer(QStringLiteral("brand-id"), low, high, 0, &number, error))
            return false;
        *brandId = qint32(number);
    }
    return true;
}

// One serving thread a processor: more only take turns on the same processors.
qint64 defaultThreads()
{
    return qBound(1u, std::thread::hardware_concurrency(), 256u);
}

} // namespace

namespace Commands {

int serve(const CommandLine &options)
{
    QString error;
    qint64 retentionDays = 0, maxConnections = 0, timeout = 0, threads = 0;
    if (!options.integer(QStringLiteral("retention-days"), 1, 100000, 365, &retentionDays,
                         &error)
        || !options.integer(QStringLiteral("max-connections"), 1, 1000000, 1024,
                            &maxConnections, &error)
        || !options.integer(QStringLiteral("connection-timeout"), 1, 3600, 15, &timeout,
                            &error)
        || !options.integer(QStringLiteral("threads"), 1, 256, defaultThreads(), &threads,
                            &error))
        return usageError(error);
    HttpServer::Options serverOptions;
    serverOptions.listen = options.value(QStringLiteral("listen"), serverOptions.listen);
    serverOptions.apiBasePath =
        options.value(QStringLiteral("base-path"), QStringLiteral("/API/")).toUtf8();
    serverOptions.connectionLimit = unsigned(maxConnections);
    serverOptions.connectionTimeoutSeconds = unsigned(timeout);
    serverOptions.threads = unsigned(threads);
    QByteArray host;
    quint16 port = 0;
    if (!HttpServer::splitListen(serverOptions.listen, &host, &port))
        return usageError(QStringLiteral("--listen wants HOST:PORT, not \"%1\"")
                              .arg(serverOptions.listen));
    if (!serverOptions.apiBasePath.startsWith('/') || !serverOptions.apiBasePath.endsWith('/'))
        return usageError(QStringLiteral("--base-path must start and end with /"));

    // The signals are taken by sigtimedwait below; blocked before any thread starts, so that
    // every thread inherits the mask and none of them is interrupted.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A closed standard output must not end the service in the middle of a write.
    std::signal(SIGPIPE, SIG_IGN);

    int status = 0;
    std::vector<std::unique_ptr<Store>> writerStores(1);
    std::unique_ptr<Store> announcementStore, maintenanceStore;
    if (!openStore(options, &writerStores.front(), &status))
        return status;
    writerStores.resize(size_t(writerStores.front()->usefulWriters()));
    for (size_t i = 1; i < writerStores.size(); ++i) {
        if (!openStore(options, &writerStores[i], &status))
            return status;
    }
    if (!openStore(options, &announcementStore, &status)
        || !openStore(options, &maintenanceStore, &status))
        return status;
    deleteExpired(maintenanceStore.get(), retentionDays);

    const QString database = options.value(QStringLiteral("database"));
    EventWriter writer(std::move(writerStores), EventWriter::Options());
    ApiHandler::Options apiOptions;
    apiOptions.keepFileNames = options.flag(QStringLiteral("keep-file-names"));
    ApiHandler api(&writer, std::move(announcementStore), apiOptions);
    Dashboard dashboard(database);
    HttpServer server(
        serverOptions,
        [&api](const HttpRequest &request, const HttpServer::Reply &reply) {
            api.handle(request, reply);
        },
        [&dashboard](const HttpRequest &request) { return dashboard.handle(request); },
        &ApiHandler::error);
    if (!server.start(&error)) {
        writer.stop();
        return failure(error);
    }
    std::thread rememberDays([&dashboard] { dashboard.rememberLastYear(); });

    const QString origin = QStringLiteral("http://%1:%2")
                               .arg(host.contains(':') ? '[' + host + ']' : host)
                               .arg(server.port());
    say(QStringLiteral("kelvane-collector: events at %1%2 (POST), dashboard at %1/")
            .arg(origin, QString::fromUtf8(serverOptions.apiBasePath)));
    if (apiOptions.keepFileNames)
        say(QStringLiteral("keeping file and folder names (--keep-file-names)"));

    // Retention runs hourly until a stop signal arrives.
    for (;;) {
        timespec hour{3600, 0};
        const int signal = sigtimedwait(&stopSignals, nullptr, &hour);
        if (signal == SIGTERM || signal == SIGINT)
            break;
        if (signal < 0 && errno == EAGAIN)
            deleteExpired(maintenanceStore.get(), retentionDays);
    }

    say(QStringLiteral("stopping: finishing the events already received"));
    server.quiesce();
    writer.stop();
    server.stop();
    rememberDays.join();
    return 0;
}

int announce(const CommandLine &options)
{
    QString error;
    Announcement announcement;
    if (!readAppAndBrand(options, &announcement.appId, &announcement.brandId, &error))
        return usageError(error);
    const bool withdraw = options.flag(QStringLiteral("withdraw"));
    if (withdraw) {
        for (const char *name : {"version", "message", "url", "required"}) {
            if (options.has(QLatin1String(name)))
                return usageError(QStringLiteral("--withdraw takes no --%1").arg(name));
        }
    } else {
        for (const char *name : {"version", "message", "url"}) {
            if (!options.has(QLatin1String(name)))
                return usageError(QStringLiteral("--%1 is required (or --withdraw)").arg(name));
        }
        announcement.version = options.value(QStringLiteral("version"));
        static const QRegularExpression dotted(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
        if (!dotted.match(announcement.version).hasMatch())
            return usageError(QStringLiteral("--version must be dotted numbers like 1.4.2"));
        announcement.message = options.value(QStringLiteral("message"));
        announcement.url = options.value(QStringLiteral("url"));
        announcement.required = options.flag(QStringLiteral("required"));
        announcement.updatedAtMs = QDateTime::currentMSecsSinceEpoch();
    }

    int status = 0;
    std::unique_ptr<Store> store;
    if (!openStore(options, &store, &status))
        return status;
    const QString which = announcement.brandId
        ? QStringLiteral("application %1, brand %2").arg(announcement.appId)
              .arg(*announcement.brandId)
        : QStringLiteral("application %1, every brand").arg(announcement.appId);
    if (withdraw) {
        say(store->withdraw(announcement.appId, announcement.brandId)
                ? QStringLiteral("withdrawn: the announcement for %1").arg(which)
                : QStringLiteral("nothing to withdraw for %1").arg(which));
        return 0;
    }
    const StoreResult result = store->announce(announcement);
    if (!result.ok())
        return failure(QStringLiteral("cannot store the announcement: ") + result.reason);
    say(QStringLiteral("announced version %1 for %2%3").arg(announcement.version, which,
        announcement.required ? QStringLiteral(" (required)") : QString()));
    return 0;
}

int exportEvents(const CommandLine &options)
{
    int status = 0;
    std::unique_ptr<Store> store;
    if (!openStore(options, &store, &status))
        return status;
    const StoreResult result = store->forEachEvent([](const QByteArray &json) {
        std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
        std::fputc('\n', stdout);
    });
    std::fflush(stdout);
    if (!result.ok())
        return failure(QStringLiteral("export failed: ") + result.reason);
    return std::ferror(stdout) ? failure(QStringLiteral("cannot write the export")) : 0;
}

int forget(const CommandLine &options)
{
    const QString userId = options.value(QStringLiteral("user-id"));
    if (userId.isEmpty())
        return usageError(QStringLiteral("--user-id is required"));
    int status = 0;
    std::unique_ptr<Store> store;
    if (!openStore(options, &store, &status))
        return status;
    const qint64 deleted = store->forgetUser(userId);
    if (deleted < 0)
        return failure(QStringLiteral("deleting the user's events failed"));
    say(QStringLiteral("%1 events deleted").arg(deleted));
    return 0;
}

int account(const CommandLine &options)
{
    const QString name = options.value(QStringLiteral("name"));
    if (name.isEmpty())
        return usageError(QStringLiteral("--name is required"));
    std::string line;
    std::getline(std::cin, line);
    QByteArray password = QByteArray::fromStdString(line);
    if (password.endsWith('\r'))
        password.chop(1);
    if (password.isEmpty())
        return usageError(QStringLiteral("give the password on the first line of stdin"));
    int status = 0;
    std::unique_ptr<Store> store;
    if (!openStore(options, &store, &status))
        return status;
    const QByteArray hash = PasswordHash::make(password);
    if (hash.isEmpty())
        return failure(QStringLiteral("hashing the password failed"));
    const StoreResult result = store->setAccount(name, hash);
    if (!result.ok())
        return failure(QStringLiteral("cannot store the account: ") + result.reason);
    say(QStringLiteral("account %1 saved").arg(name));
    return 0;
}

} // namespace Commands
