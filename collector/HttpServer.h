#pragma once

#include "Http.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>

struct MHD_Daemon;

// The HTTP side of the collector, on libmicrohttpd: a pool of threads polling with epoll.
// Requests to the API base path are answered asynchronously: their connection is suspended
// until the answer is ready, so a request waiting for its write holds no thread. Everything
// else goes to a synchronous handler (the dashboard). Client addresses are never looked at.
class HttpServer
{
public:
    using Reply = std::function<void(const HttpResponse &response)>;
    // Must call reply exactly once, from any thread.
    using AsyncHandler = std::function<void(const HttpRequest &request, const Reply &reply)>;
    using Handler = std::function<HttpResponse(const HttpRequest &request)>;
    // The answer for an API request refused before its handler runs (too large, wrong method).
    using Refusal = std::function<HttpResponse(int status, const QString &reason)>;

    struct Options
    {
        QString listen = QStringLiteral("127.0.0.1:47800");   // host:port, [v6]:port; port 0 = any
        QByteArray apiBasePath = QByteArrayLiteral("/API/");
        unsigned connectionLimit = 1024;
        unsigned connectionTimeoutSeconds = 15;   // idle or slow connections are closed
        qint64 bodyLimit = 64 * 1024;
        unsigned threads = 4;
    };

    HttpServer(const Options &options, AsyncHandler api, Handler other, Refusal refusal);
    ~HttpServer();

    bool start(QString *error);
    quint16 port() const { return m_port; }
    // Stops accepting connections; those open are still served.
    void quiesce();
    // Waits (up to the time) for answers still being prepared, then closes every connection.
    void stop(int waitMs = 5000);

    // "127.0.0.1:47800", "[::1]:8080" or ":47800" into an address and a port; false if neither.
    static bool splitListen(const QString &listen, QByteArray *host, quint16 *port);

    struct Connection;   // one request's state, kept by libmicrohttpd between its calls

private:
    friend struct HttpServerCallbacks;

    const Options m_options;
    const AsyncHandler m_api;
    const Handler m_other;
    const Refusal m_refusal;
    MHD_Daemon *m_daemon = nullptr;
    int m_listenSocket = -1;
    quint16 m_port = 0;
    std::atomic<int> m_waiting{0};   // API requests whose answer is not ready yet
};
