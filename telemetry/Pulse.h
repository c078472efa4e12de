#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

class QNetworkReply;

// One usage event sent to the telemetry API. Created with the window as parent, used for
// exactly one event operation, and deleted (deferred) once the server's answer is handled.
class Pulse : public QObject
{
    Q_OBJECT

public:
    explicit Pulse(QObject *parent);

    void InitializeUserID();
    void AppInstalled();
    void AppOpened(const QVariantMap &Fields);
    void AppFailure(const QString &ErrorCode, const QString &DebugInfo);
    void ConversionStarted(const QString &ConversionID, const QString &FilePath,
                           const QString &FileName, const QString &FileExtension,
                           qint64 FileSize, const QString &FormatToConvertTo,
                           const QString &FFMPEGArguments);
    void ConversionCancelled(const QString &ConversionID, qint64 ConvertedFileSize,
                             int ConversionPercentageComplete, int ConversionDurationInSeconds);
    void ConversionCompleted(const QString &ConversionID, qint64 ConvertedFileSize,
                             int ConversionDurationInSeconds);
    void AppClosed(qint64 MillisecondsSinceAppStarted);

    // The body of a request: "PostData=" + the compact JSON + "&", one byte per UTF-16 code
    // unit (Latin-1, "?" beyond it) and deliberately not percent-encoded: the server reads it
    // exactly so.
    static QByteArray RequestBody(const QVariantMap &Request);

    // How long AppClosed waits for its answer before the close goes on without it.
    static constexpr int AppClosedTimeoutMs = 5000;

signals:
    void AppInitialization(QVariantMap ServerData);

private slots:
    void ReceivedResponseFromServer(QNetworkReply *Reply);

private:
    void AddCommonFields(QVariantMap &Request) const;
    void Send(const char *Operation, const QString &EventMethod,
              const QVariantMap &Fields);
    void SendAndWait(const char *Operation, const QString &EventMethod,
                     const QVariantMap &Fields);
    QNetworkReply *Post(const QString &EventMethod, const QVariantMap &Fields);

    QString APIVersion;
    qint32 BrandID;
    qint32 AppID;
    QString AppVersion;
    QString UserID;
    QString AppSessionID;
    QString OS;
    QString OSVersion;
    QString DateTimeClient;
    QString Method;
};
