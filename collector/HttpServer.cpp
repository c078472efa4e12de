#include "HttpServer.h"

#include <QThread>
#include <QUrl>

#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

namespace {

// Whatever is sent beyond the body limit is read and dropped up to this much, so that the
// client still gets its 413; past it the connection is simply closed.
const qint64 discardLimit = 1024 * 1024;

} // namespace

// What a request's answer goes through when it is produced on another thread: the answer and
// whether the connection has been suspended to wait for it, under one lock.
struct PendingAnswer
{
    std::mutex mutex;
    MHD_Connection *connection = nullptr;
    bool suspended = false;
    std::optional<HttpResponse> response;
};

struct HttpServer::Connection
{
    HttpRequest request;
    bool api = false;
    bool tooLarge = false;
    qint64 received = 0;
    std::shared_ptr<PendingAnswer> pending;   // set once handed to the API handler
};

struct HttpServerCallbacks
{
    static MHD_Result answer(void *cls, MHD_Connection *connection, const char *url,
                             const char *method, const char *version, const char *uploadData,
                             size_t *uploadDataSize, void **state);
    static void completed(void *cls, MHD_Connection *connection, void **state,
                          MHD_RequestTerminationCode code);
};

namespace {

MHD_Result queue(MHD_Connection *connection, const HttpResponse &answer)
{
    MHD_Response *response = MHD_create_response_from_buffer(
        size_t(answer.body.size()), const_cast<char *>(answer.body.constData()),
        MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    for (const auto &header : answer.headers)
        MHD_add_response_header(response, header.first.constData(), header.second.constData());
    const MHD_Result result = MHD_queue_response(connection, unsigned(answer.status), response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result addHeader(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    auto *request = static_cast<HttpRequest *>(cls);
    request->headers.append({QByteArray(key).toLower(), QByteArray(value ? value : "")});
    return MHD_YES;
}

// libmicrohttpd hands the query over decoded; encoded again, it reads as the client sent it.
MHD_Result addArgument(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    auto *query = static_cast<QByteArray *>(cls);
    if (!query->isEmpty())
        query->append('&');
    query->append(QByteArray(key).toPercentEncoding());
    if (value) {
        query->append('=');
        query->append(QByteArray(value).toPercentEncoding());
    }
    return MHD_YES;
}

HttpResponse plain(int status, const QByteArray &text)
{
    HttpResponse response;
    response.status = status;
    response.headers.append({QByteArrayLiteral("Content-Type"),
                             QByteArrayLiteral("text/plain; charset=utf-8")});
    response.body = text + '\n';
    return response;
}

} // namespace

MHD_Result HttpServerCallbacks::answer(void *cls, MHD_Connection *connection, const char *url,
                                       const char *method, const char *, const char *uploadData,
                                       size_t *uploadDataSize, void **state)
{
    auto *server = static_cast<HttpServer *>(cls);
    auto *request = static_cast<HttpServer::Connection *>(*state);

    if (!request) {
        // Headers are in, the body is not: refuse what cannot be served before reading it.
        auto fresh = std::make_unique<HttpServer::Connection>();
        fresh->request.method = method;
        fresh->request.path = url;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, addHeader, &fresh->request);
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, addArgument,
                                  &fresh->request.query);
        fresh->api = fresh->request.path == server->m_options.apiBasePath;
        *state = request = fresh.release();

        if (request->api && request->request.method != "POST") {
            HttpResponse refusal = server->m_refusal(405, QStringLiteral("only POST is accepted"));
            refusal.headers.append({QByteArrayLiteral("Allow"), QByteArrayLiteral("POST")});
            return queue(connection, refusal);
        }
        bool numeric = false;
        const qint64 length = request->request.header("content-length").toLongLong(&numeric);
        if (numeric && length > server->m_options.bodyLimit) {
            return queue(connection, request->api
                                         ? server->m_refusal(413, QStringLiteral("body too large"))
                                         : plain(413, "Request body too large"));
        }
        return MHD_YES;
    }

    if (*uploadDataSize > 0) {
        // Chunked bodies announce no length: stop keeping them once past the limit.
        request->received += qint64(*uploadDataSize);
        if (request->received > server->m_options.bodyLimit) {
            request->tooLarge = true;
            request->request.body.clear();
            if (request->received > discardLimit)
                return MHD_NO;
        } else {
            request->request.body.append(uploadData, int(*uploadDataSize));
        }
        *uploadDataSize = 0;
        return MHD_YES;
    }

    if (request->pending) {
        // Called again after the answer arrived and resumed the connection.
        std::lock_guard<std::mutex> lock(request->pending->mutex);
        if (!request->pending->response)
            return MHD_NO;
        return queue(connection, *request->pending->response);
    }
    if (request->tooLarge) {
        return queue(connection, request->api
                                     ? server->m_refusal(413, QStringLiteral("body too large"))
                                     : plain(413, "Request body too large"));
    }
    if (!request->api)
        return queue(connection, server->m_other(request->request));

    auto pending = std::make_shared<PendingAnswer>();
    pending->connection = connection;
    request->pending = pending;
    ++server->m_waiting;
    server->m_api(request->request, [pending](const HttpResponse &response) {
        std::lock_guard<std::mutex> lock(pending->mutex);
        if (pending->response)
            return;   // answered already; a handler must not answer twice
        pending->response = response;
        if (pending->suspended)
            MHD_resume_connection(pending->connection);
    });
    std::lock_guard<std::mutex> lock(pending->mutex);
    if (pending->response)
        return queue(connection, *pending->response);
    pending->suspended = true;
    MHD_suspend_connection(connection);
    return MHD_YES;
}

void HttpServerCallbacks::completed(void *cls, MHD_Connection *, void **state,
                                    MHD_RequestTerminationCode)
{
    auto *server = static_cast<HttpServer *>(cls);
    auto *request = static_cast<HttpServer::Connection *>(*state);
    if (!request)
        return;
    if (request->pending)
        --server->m_waiting;
    delete request;
    *state = nullptr;
}

HttpServer::HttpServer(const Options &options, AsyncHandler api, Handler other, Refusal refusal)
    : m_options(options)
    , m_api(std::move(api))
    , m_other(std::move(other))
    , m_refusal(std::move(refusal))
{
}

HttpServer::~HttpServer()
{
    stop(0);
}

bool HttpServer::splitListen(const QString &listen, QByteArray *host, quint16 *port)
{
    const int colon = listen.lastIndexOf(QLatin1Char(':'));
    if (colon < 0)
        return false;
    QString address = listen.left(colon);
    if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
        address = address.mid(1, address.size() - 2);
    else if (address.contains(QLatin1Char(':')))
        return false;   // a bare IPv6 address needs brackets to tell it from its port
    bool ok = false;
    const uint number = listen.mid(colon + 1).toUInt(&ok);
    if (!ok || number > 65535)
        return false;
    *host = address.isEmpty() ? QByteArrayLiteral("0.0.0.0") : address.toLatin1();
    *port = quint16(number);
    return true;
}

bool HttpServer::start(QString *error)
{
    QByteArray host;
    quint16 port = 0;
    if (!splitListen(m_options.listen, &host, &port)) {
        *error = QStringLiteral("cannot read the listen address %1 (want HOST:PORT)")
                     .arg(m_options.listen);
        return false;
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int lookup = getaddrinfo(host.constData(), QByteArray::number(port).constData(),
                                   &hints, &found);
    if (lookup != 0 || !found) {
        *error = QStringLiteral("cannot resolve %1: %2")
                     .arg(QString::fromLatin1(host), QString::fromLocal8Bit(gai_strerror(lookup)));
        return false;
    }
    const int family = found->ai_family;
    m_listenSocket = socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int yes = 1;
    if (m_listenSocket >= 0)
        setsockopt(m_listenSocket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (m_listenSocket < 0 || bind(m_listenSocket, found->ai_addr, found->ai_addrlen) != 0
        || listen(m_listenSocket, SOMAXCONN) != 0) {
        *error = QStringLiteral("cannot listen on %1: %2")
                     .arg(m_options.listen, QString::fromLocal8Bit(std::strerror(errno)));
        freeaddrinfo(found);
        stop(0);
        return false;
    }
    freeaddrinfo(found);

    sockaddr_storage bound{};
    socklen_t boundSize = sizeof bound;
    getsockname(m_listenSocket, reinterpret_cast<sockaddr *>(&bound), &boundSize);
    m_port = ntohs(bound.ss_family == AF_INET6
                       ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                       : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);

    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    if (family == AF_INET6)
        flags |= MHD_USE_IPv6;
    // No MHD_USE_ERROR_LOG: the library's messages may name client addresses.
    m_daemon = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &HttpServerCallbacks::answer, this,
        MHD_OPTION_LISTEN_SOCKET, MHD_socket(m_listenSocket),
        MHD_OPTION_THREAD_POOL_SIZE, unsigned(std::max(1u, m_options.threads)),
        MHD_OPTION_CONNECTION_LIMIT, std::max(m_options.connectionLimit, m_options.threads),
        MHD_OPTION_CONNECTION_TIMEOUT, m_options.connectionTimeoutSeconds,
        MHD_OPTION_NOTIFY_COMPLETED, &HttpServerCallbacks::completed, this,
        MHD_OPTION_END);
    if (!m_daemon) {
        *error = QStringLiteral("cannot start the HTTP server on %1").arg(m_options.listen);
        stop(0);
        return false;
    }
    return true;
}

void HttpServer::quiesce()
{
    if (m_daemon)
        MHD_quiesce_daemon(m_daemon);
}

void HttpServer::stop(int waitMs)
{
    if (m_daemon) {
        // Taking the listening socket back keeps libmicrohttpd from closing it as well.
        MHD_quiesce_daemon(m_daemon);
        // Answers on their way from the writer still reach their clients.
        for (int waited = 0; m_waiting > 0 && waited < waitMs; waited += 10)
            QThread::msleep(10);
        MHD_stop_daemon(m_daemon);
        m_daemon = nullptr;
    }
    if (m_listenSocket >= 0) {
        close(m_listenSocket);
        m_listenSocket = -1;
    }
}
