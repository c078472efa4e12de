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

private:
    struct Private;
    std::unique_ptr<Private> d;
};
