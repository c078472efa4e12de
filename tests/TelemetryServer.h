#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QVariantMap>

class QTcpServer;
class QTcpSocket;

// A small HTTP server on 127.0.0.1 standing in for the telemetry API. It records every request
// as it arrived on the wire and answers each event ("Method" in the posted JSON) with a chosen
// body after a chosen delay, or never.
class TelemetryServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray verb;
        QByteArray target;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        QByteArray header(const QByteArray &name) const;
        QByteArray jsonText() const;   // the bytes between "PostData=" and the final "&"
        QVariantMap json() const;      // those bytes read as Latin-1, then parsed
        QString eventMethod() const { return json().value(QStringLiteral("Method")).toString(); }
    };

    static constexpr int Never = -1;

    explicit TelemetryServer(QObject *parent = nullptr);
    ~TelemetryServer() override;

    bool listen(quint16 port);
    void close();
    quint16 port() const;

    // The answer to every event without an answer of its own; {"Status":"SUCCESS"} at first.
    void setDefaultAnswer(const QByteArray &body, int delayMs = 0);
    void setAnswer(const QString &eventMethod, const QByteArray &body, int delayMs = 0);
    // An answer with its own status line ("302 Found") and extra header lines, each ending in
    // CRLF.
    void setResponse(const QString &eventMethod, const QByteArray &status,
                     const QByteArray &headers, const QByteArray &body);
    void clearAnswers();

    const QList<Request> &requests() const { return m_Requests; }
    QStringList eventMethods() const;
    QList<Request> requestsFor(const QString &eventMethod) const;
    void clearRequests() { m_Requests.clear(); m_Answered = 0; }
    int answeredCount() const { return m_Answered; }

signals:
    void requestReceived(const TelemetryServer::Request &request);
    void answered(const QString &eventMethod);

private:
    struct Answer
    {
        QByteArray body;
        int delayMs = 0;
        QByteArray status = "200 OK";
        QByteArray headers = "Content-Type: application/json\r\n";
    };

    void acceptConnections();
    void readFrom(QTcpSocket *socket);
    bool takeRequest(QByteArray &buffer, Request &request) const;
    void answer(QTcpSocket *socket, const Request &request);

    QTcpServer *m_Server;
    QHash<QTcpSocket *, QByteArray> m_Buffers;
    QHash<QString, Answer> m_Answers;
    Answer m_DefaultAnswer;
    QList<Request> m_Requests;
    int m_Answered = 0;
};
