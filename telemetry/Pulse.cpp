#include "telemetry/Pulse.h"

#include "config/Configuration.h"
#include "config/JSON.h"
#include "telemetry/AnswerDecoder.h"
#include "telemetry/NetworkAccessManager.h"
#include "telemetry/TelemetryApiUrl.h"

#include <QDateTime>
#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

const QString Success = QStringLiteral("SUCCESS");

bool IsSuccess(const QVariantMap &Answer)
{
    const QVariant status = Answer.value(QStringLiteral("Status"));
    return status.userType() == QMetaType::QString && status.toString() == Success;
}

QByteArray HittingLabel(const char *Operation)
{
    return QByteArray("[Pulse::") + Operation + "] Composed URL. Hitting:";
}

} // namespace

Pulse::Pulse(QObject *parent)
    : QObject(parent)
    , APIVersion(QStringLiteral("1.0"))
    , BrandID(Configuration::BrandID())
    , AppID(Configuration::AppID())
    , AppVersion(Configuration::AppVersion())
    , UserID(Configuration::UserID())
    , AppSessionID(Configuration::AppSessionID())
    , OS(Configuration::IsWindows() ? QStringLiteral("Win")
         : Configuration::IsMac()   ? QStringLiteral("OSX")
                                    : QStringLiteral("?"))
    , OSVersion(Configuration::OSVersion())
    , DateTimeClient(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss")))
{
}

void Pulse::AddCommonFields(QVariantMap &Request) const
{
    Request.insert(QStringLiteral("APIVersion"), APIVersion);
    Request.insert(QStringLiteral("Method"), Method);
    Request.insert(QStringLiteral("BrandID"), QString::number(BrandID));
    Request.insert(QStringLiteral("AppID"), QString::number(AppID));
    Request.insert(QStringLiteral("AppVersion"), AppVersion);
    Request.insert(QStringLiteral("UserID"), UserID);
    Request.insert(QStringLiteral("AppSessionID"), AppSessionID);
    Request.insert(QStringLiteral("OS"), OS);
    Request.insert(QStringLiteral("OSVersion"), OSVersion);
    Request.insert(QStringLiteral("DateTimeClient"), DateTimeClient);
}

QByteArray Pulse::RequestBody(const QVariantMap &Request)
{
    // toLatin1() writes "?" for every UTF-16 code unit beyond U+00FF, so a character outside
    // the BMP becomes two "?".
    return QByteArray("PostData=") + JSON::Stringify(Request).toLatin1() + '&';
}

QNetworkReply *Pulse::Post(const QString &EventMethod, const QVariantMap &Fields)
{
    Method = EventMethod;
    QVariantMap request;
    AddCommonFields(request);
    for (auto field = Fields.cbegin(); field != Fields.cend(); ++field)
        request.insert(field.key(), field.value());
    if (EventMethod == QLatin1String("ConversionCancelled")
        || EventMethod == QLatin1String("ConversionCompleted")) {
        qDebug() << request;
    }

    QNetworkRequest networkRequest{QUrl(TelemetryApiUrl)};
    networkRequest.setHeader(QNetworkRequest::ContentTypeHeader,
                             QStringLiteral("application/x-www-form-urlencoded"));
    // The same request from every Qt: a redirect is an answer like any other, never followed,
    // and the accepted codings are named here rather than left to the network layer's list.
    networkRequest.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                                QNetworkRequest::ManualRedirectPolicy);
    networkRequest.setRawHeader("Accept-Encoding", AnswerDecoder::AcceptedEncodings());
    return NetworkAccessManager::SharedInstance()->post(networkRequest, RequestBody(request));
}

void Pulse::Send(const char *Operation, const QString &EventMethod,
                 const QVariantMap &Fields)
{
    QNetworkReply *reply = Post(EventMethod, Fields);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply] { ReceivedResponseFromServer(reply); });
    qDebug() << HittingLabel(Operation).constData() << QUrl(TelemetryApiUrl);
}


void Pulse::SendAndWait(const char *Operation, const QString &EventMethod,
                        const QVariantMap &Fields)
{
    QNetworkReply *reply = Post(EventMethod, Fields);
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::errorOccurred, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::finished, this,
            [this, reply] { ReceivedResponseFromServer(reply); });

    // A server that never answers must not keep the hidden window's process alive: after
    // the bound the request is abandoned, which finishes it as a failed request.
    QTimer bound;
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    connect(&bound, &QTimer::timeout, reply, &QNetworkReply::abort);
    bound.start(AppClosedTimeoutMs);
    if (!reply->isFinished())
        loop.exec();

    // The answer's handler has scheduled this object's deletion; only locals from here on.
    qDebug() << HittingLabel(Operation).constData() << QUrl(TelemetryApiUrl);
}

void Pulse::InitializeUserID()
{
    qDebug() << "[Pulse::InitializeUserID] Current UserID:" << Configuration::UserID();
    if (Configuration::UserID().isEmpty()) {
        Configuration::GenerateUserID();
        UserID = Configuration::UserID();
        qDebug() << "[Pulse::InitializeUserID] Generated UserID:" << UserID;
    }
    if (Configuration::IsNewUserSavedToServer())
        return;

    QVariantMap fields;
    fields.insert(QStringLiteral("Email"), Configuration::UserEmail());
    fields.insert(QStringLiteral("OSLocale"), Configuration::OSLocale());
    fields.insert(QStringLiteral("OSCurrencySymbol"), Configuration::OSCurrencySymbol());
    fields.insert(QStringLiteral("OSTimeZone"), QString(QLatin1String("")));
    Send("InitializeUserID", QStringLiteral("NewUser"), fields);
}

void Pulse::AppInstalled()
{
    QVariantMap fields;
    fields.insert(QStringLiteral("OSLocale"), Configuration::OSLocale());
    Send("AppInstalled", QStringLiteral("AppInstalled"), fields);
}

void Pulse::AppOpened(const QVariantMap &Fields)
{
    Send("AppOpened", QStringLiteral("AppOpened"), Fields);
}

void Pulse::AppFailure(const QString &ErrorCode, const QString &DebugInfo)
{
    QVariantMap fields;
    fields.insert(QStringLiteral("ErrorCode"), ErrorCode);
    fields.insert(QStringLiteral("DebugInfo"), DebugInfo);
    Send("AppFailure", QStringLiteral("AppFailed"), fields);
}

void Pulse::ConversionStarted(const QString &ConversionID, const QString &FilePath,
                              const QString &FileName, const QString &FileExtension,
                              qint64 FileSize, const QString &FormatToConvertTo,
                              const QString &FFMPEGArguments)
{
    QVariantMap fields;
    fields.insert(QStringLiteral("ConversionID"), ConversionID);
    fields.insert(QStringLiteral("FilePath"), FilePath);
    fields.insert(QStringLiteral("FileName"), FileName);
    fields.insert(QStringLiteral("FileExtension"), FileExtension);
    fields.insert(QStringLiteral("FileSize"), QString::number(FileSize));
    fields.insert(QStringLiteral("FormatToConvertTo"), FormatToConvertTo);
    fields.insert(QStringLiteral("FFMPEGArguments"), FFMPEGArguments);
    Send("ConversionStarted", QStringLiteral("ConversionStarted"), fields);
}

void Pulse::ConversionCancelled(const QString &ConversionID, qint64 ConvertedFileSize,
                                int ConversionPercentageComplete,
                                int ConversionDurationInSeconds)
{
    QVariantMap fields;
    fields.insert(QStringLiteral("ConversionID"), ConversionID);
    fields.insert(QStringLiteral("ConvertedFileSize"), QString::number(ConvertedFileSize));
    fields.insert(QStringLiteral("ConversionPercentageComplete"), ConversionPercentageComplete);
    fields.insert(QStringLiteral("ConversionDurationInSeconds"), ConversionDurationInSeconds);
    Send("ConversionCancelled", QStringLiteral("ConversionCancelled"), fields);
}

void Pulse::ConversionCompleted(const QString &ConversionID, qint64 ConvertedFileSize,
                                int ConversionDurationInSeconds)
{
    QVariantMap fields;
    fields.insert(QStringLiteral("ConversionID"), ConversionID);
    fields.insert(QStringLiteral("ConvertedFileSize"), QString::number(ConvertedFileSize));
    fields.insert(QStringLiteral("ConversionDurationInSeconds"), ConversionDurationInSeconds);
    Send("ConversionCompleted", QStringLiteral("ConversionCompleted"), fields);
}

void Pulse::AppClosed(qint64 MillisecondsSinceAppStarted)
{
    QVariantMap fields;
    fields.insert(QStringLiteral("SecondsSinceAppStarted"),
                  QString::number(MillisecondsSinceAppStarted / 1000));
    SendAndWait("AppClosed", QStringLiteral("AppClosed"), fields);
}

void Pulse::ReceivedResponseFromServer(QNetworkReply *Reply)
{
    // An abandoned request is closed and has nothing to read.
    QByteArray body = AnswerDecoder::Decoded(Reply->isOpen() ? Reply->readAll() : QByteArray(),
                                             Reply->rawHeader("Content-Encoding"));
    const int zero = body.indexOf('\0');
    if (zero >= 0)
        body.truncate(zero);
    const QString text = QString::fromLatin1(body);
    qDebug() << "[Pulse::ReceivedResponseFromServer] Method:" << Method << "- Data:" << text;

    const QVariantMap answer = JSON::Parse(text);
    if (Method == QLatin1String("NewUser")) {
        if (IsSuccess(answer)) {
            qDebug() << "NewUser Success!";
            Configuration::SetNewUserSavedToServer();
        } else {
            qDebug() << "NewUser Failed!";
        }
    } else if (Method == QLatin1String("AppInstalled")) {
        if (IsSuccess(answer)) {
            qDebug() << "AppInstalled Success!";
            Configuration::SetAppInstalledSavedToServer();
        } else {
            qDebug() << "AppInstalled Failed!";
        }
    } else if (Method == QLatin1String("AppOpened")) {
        if (IsSuccess(answer))
            emit AppInitialization(answer.value(QStringLiteral("Contents")).toMap());
        else
            qDebug() << "AppOpened Failed!";
    }

    Reply->deleteLater();
    deleteLater();
}
