#include "TelemetryServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

QByteArray TelemetryServer::Request::header(const QByteArray &name) const
{
    for (const auto &entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return entry.second;
    }
    return QByteArray();
}

QByteArray TelemetryServer::Request::jsonText() const
{
    if (!body.startsWith("PostData=") || !body.endsWith('&'))
        return QByteArray();
    return body.mid(9, body.size() - 10);
}

QVariantMap TelemetryServer::Request::json() const
{
    return QJsonDocument::fromJson(QString::fromLatin1(jsonText()).toUtf8()).object()
            .toVariantMap();
}

TelemetryServer::TelemetryServer(QObject *parent)
    : QObject(parent)
    , m_Server(new QTcpServer(this))
{
    m_DefaultAnswer.body = R"({"Status":"SUCCESS"})";
    connect(m_Server, &QTcpServer::newConnection, this, &TelemetryServer::acceptConnections);
}

TelemetryServer::~TelemetryServer() = default;

bool TelemetryServer::listen(quint16 port)
{
    return m_Server->listen(QHostAddress::LocalHost, port);
}

void TelemetryServer::close()
{
    m_Server->close();
    for (QTcpSocket *socket : findChildren<QTcpSocket *>())
        socket->abort();
}

quint16 TelemetryServer::port() const
{
    return m_Server->serverPort();
}

void TelemetryServer::setDefaultAnswer(const QByteArray &body, int delayMs)
{
    m_DefaultAnswer = {body, delayMs};
}

void TelemetryServer::setAnswer(const QString &eventMethod, const QByteArray &body, int delayMs)
{
    m_Answers.insert(eventMethod, {body, delayMs});
}

void TelemetryServer::setResponse(const QString &eventMethod, const QByteArray &status,
                                  const QByteArray &headers, const QByteArray &body)
{
    m_Answers.insert(eventMethod, {body, 0, status, headers});
}

void TelemetryServer::clearAnswers()
{
    m_Answers.clear();
    m_DefaultAnswer = {R"({"Status":"SUCCESS"})", 0};
}

QStringList TelemetryServer::eventMethods() const
{
    QStringList methods;
    for (const Request &request : m_Requests)
        methods << request.eventMethod();
    return methods;
}

QList<TelemetryServer::Request> TelemetryServer::requestsFor(const QString &eventMethod) const
{
    QList<Request> matching;
    for (const Request &request : m_Requests) {
        if (request.eventMethod() == eventMethod)
            matching << request;
    }
    return matching;
}

void TelemetryServer::acceptConnections()
{
    while (QTcpSocket *socket = m_Server->nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_Buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void TelemetryServer::readFrom(QTcpSocket *socket)
{
    QByteArray &buffer = m_Buffers[socket];
    buffer += socket->readAll();
    Request request;
    while (takeRequest(buffer, request)) {
        m_Requests << request;
        emit requestReceived(request);
        answer(socket, request);
    }
}

bool TelemetryServer::takeRequest(QByteArray &buffer, Request &request) const
{
    const int headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return false;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    Request parsed;
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    parsed.verb = requestLine.value(0);
    parsed.target = requestLine.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            parsed.headers << qMakePair(lines.at(i).left(colon).trimmed(),
                                        lines.at(i).mid(colon + 1).trimmed());
    }
    const int length = parsed.header("Content-Length").toInt();
    if (buffer.size() < headerEnd + 4 + length)
        return false;
    parsed.body = buffer.mid(headerEnd + 4, length);
    buffer.remove(0, headerEnd + 4 + length);
    request = parsed;
    return true;
}

void TelemetryServer::answer(QTcpSocket *socket, const Request &request)
{
    const QString method = request.eventMethod();
    const Answer chosen = m_Answers.value(method, m_DefaultAnswer);
    if (chosen.delayMs == Never)
        return;
    QPointer<QTcpSocket> target(socket);
    QTimer::singleShot(chosen.delayMs, this, [this, target, chosen, method] {
        if (!target)
            return;
        target->write("HTTP/1.1 " + chosen.status + "\r\n" + chosen.headers + "Content-Length: "
                      + QByteArray::number(chosen.body.size()) + "\r\n\r\n" + chosen.body);
        ++m_Answered;
        emit answered(method);
    });
}
