#pragma once

#include <QJsonObject>
#include <QString>

// One telemetry event as the collector keeps it: the identifiers it is filed under, pulled out
// of the object so that storage can index them, and the object itself as it is stored (the
// privacy rules already applied).
struct Event
{
    QString method;         // "Method": one of the eight event names
    qint32 brandId = 0;     // "BrandID", sent as decimal text
    qint32 appId = 0;       // "AppID", sent as decimal text
    QString appVersion;     // "AppVersion"
    QString userId;         // "UserID"
    QString appSessionId;   // "AppSessionID"
    qint64 receivedAtMs = 0;   // the collector's clock when the event arrived, UTC ms since 1970
    QJsonObject fields;     // the whole event object, as stored and as exported
};
