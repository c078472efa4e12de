#pragma once

#include "Figures.h"
#include "Store.h"

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>

#include <optional>
#include <vector>

// The dashboard's HTML, rendered on the server. No script: the pages work with the strict
// content security policy the dashboard sends. Every value is escaped here, where it meets the
// markup.
namespace DashboardPages {

// Who is looking: shown in the header with the logout form, which needs the session's token.
struct Viewer
{
    QString account;
    QString csrfToken;
};

struct OverviewChoice
{
    std::optional<qint32> application;  // empty: all applications
    std::optional<QString> version;     // empty: all versions
    QDate from;
    QDate to;
};

// What the announcement form shows again after it was refused.
struct AnnouncementForm
{
    QString application;
    QString brand;
    QString version;
    QString message;
    QString url;
    bool required = false;
    QString error;
};

QString login(const QString &csrfToken, const QString &error);
QString overview(const Viewer &viewer, const OverviewChoice &choice, const Figures &figures);
QString announcements(const Viewer &viewer, const std::vector<Announcement> &announcements,
                      const AnnouncementForm &form);
// A short page for errors: not found, refused, unavailable.
QString notice(const Viewer &viewer, const QString &title, const QString &text);

QByteArray stylesheet();

} // namespace DashboardPages
