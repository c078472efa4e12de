#pragma once

#include "Http.h"

#include <QString>

#include <memory>

// The figures behind a login, served beside the telemetry endpoint: every path outside the API
// base path. handle() is called from several server threads at once.
class Dashboard
{
public:
    // database: as for Store::open. The dashboard opens its own connections.
    explicit Dashboard(const QString &database);
    ~Dashboard();

    HttpResponse handle(const HttpRequest &request);

    // Reads the last year's settled days into memory, so that the first long page after a
    // start need not wait for the database. Takes a while with many events: call it from a
    // thread of its own. Safe to call while handle() runs.
    void rememberLastYear();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
