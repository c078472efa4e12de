#include "Dashboard.h"

struct Dashboard::Private
{
    QString database;
};

namespace {

QPair<QByteArray, QByteArray> header(const char *name, const char *value)
{
    return qMakePair(QByteArray(name), QByteArray(value));
}

void addSecurityHeaders(HttpResponse &response)
{
    response.headers.append(header("Content-Security-Policy",
                                   "default-src 'none'; style-src 'self'; img-src 'self' data:; "
                                   "form-action 'self'; frame-ancestors 'none'"));
    response.headers.append(header("X-Content-Type-Options", "nosniff"));
    response.headers.append(header("X-Frame-Options", "DENY"));
    response.headers.append(header("Referrer-Policy", "no-referrer"));
    response.headers.append(header("Cache-Control", "no-store"));
}

HttpResponse page(int status, const QByteArray &html)
{
    HttpResponse response;
    response.status = status;
    response.headers.append(header("Content-Type", "text/html; charset=utf-8"));
    addSecurityHeaders(response);
    response.body = html;
    return response;
}

} // namespace

Dashboard::Dashboard(const QString &database)
    : d(new Private)
{
    d->database = database;
}

Dashboard::~Dashboard() = default;

HttpResponse Dashboard::handle(const HttpRequest &request)
{
    if (request.path == "/login") {
        return page(200, "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                         "<title>Kelvane collector: log in</title></head><body>"
                         "<h1>Log in</h1><p>Not ready yet.</p></body></html>");
    }
    return page(404, "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                     "<title>Not found</title></head><body><h1>Not found</h1></body></html>");
}
