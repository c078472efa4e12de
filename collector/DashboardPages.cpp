#include "DashboardPages.h"

#include "Html.h"
#include "SvgChart.h"

#include <QDateTime>

#include <algorithm>

namespace DashboardPages {

namespace {

using Html::escape;

QString document(const Viewer &viewer, const QString &title, const QString &body)
{
    QString html = QStringLiteral("<!DOCTYPE html>\n<html lang=\"en\"><head>"
                                  "<meta charset=\"utf-8\">"
                                  "<meta name=\"viewport\" content=\"width=device-width\">"
                                  "<title>");
    html += escape(title) + QLatin1String(" - Kelvane telemetry</title>"
                                          "<link rel=\"stylesheet\" href=\"/dashboard.css\">"
                                          "</head><body><header><p class=\"brand\">"
                                          "Kelvane telemetry</p>");
    if (!viewer.account.isEmpty()) {
        html += QLatin1String("<nav aria-label=\"Pages\"><ul>"
                              "<li><a href=\"/\">Overview</a></li>"
                              "<li><a href=\"/announcements\">Update announcements</a></li>"
                              "</ul></nav>"
                              "<form class=\"logout\" method=\"post\" action=\"/logout\">"
                              "<input type=\"hidden\" name=\"csrf\" value=\"");
        html += escape(viewer.csrfToken) + QLatin1String("\"><span>Logged in as ");
        html += escape(viewer.account) + QLatin1String("</span> <button type=\"submit\">"
                                                       "Log out</button></form>");
    }
    html += QLatin1String("</header><main><h1>") + escape(title) + QLatin1String("</h1>");
    html += body;
    html += QLatin1String("</main></body></html>\n");
    return html;
}

QString cell(qint64 value, const QString &id = QString())
{
    QString html = QLatin1String("<td class=\"number\"");
    if (!id.isEmpty())
        html += QLatin1String(" id=\"") + escape(id) + QLatin1Char('"');
    return html + QLatin1Char('>') + QString::number(value) + QLatin1String("</td>");
}

QString percentage(std::optional<double> rate)
{
    return rate ? QString::number(*rate * 100.0, 'f', 1) + QLatin1Char('%')
                : QStringLiteral("–");
}

QString applicationName(std::optional<qint32> application)
{
    return application ? QStringLiteral("application %1").arg(*application)
                       : QStringLiteral("all applications");
}

QString versionName(const QString &version)
{
    return version.isEmpty() ? QStringLiteral("(no version)") : version;
}

QString option(const QString &value, const QString &label, bool selected)
{
    return QLatin1String("<option value=\"") + escape(value) + QLatin1Char('"')
        + (selected ? QLatin1String(" selected") : QLatin1String("")) + QLatin1Char('>')
        + escape(label) + QLatin1String("</option>");
}

QString selector(const OverviewChoice &choice, const Figures &figures)
{
    QString html = QLatin1String("<form class=\"choice\" method=\"get\" action=\"/\">"
                                 "<label for=\"app\">Application</label>"
                                 "<select id=\"app\" name=\"app\">");
    html += option(QString(), QStringLiteral("All applications"), !choice.application);
    QList<qint32> applications = figures.applications;
    if (choice.application && !applications.contains(*choice.application))
        applications.append(*choice.application);
    std::sort(applications.begin(), applications.end());
    for (const qint32 application : applications) {
        html += option(QString::number(application), QString::number(application),
                       choice.application == application);
    }
    html += QLatin1String("</select><label for=\"version\">Version</label>"
                          "<select id=\"version\" name=\"version\">");
    // "*" stands for every version: an empty AppVersion is a version of its own.
    html += option(QStringLiteral("*"), QStringLiteral("All versions"), !choice.version);
    QStringList versions = figures.versions;
    if (choice.version && !versions.contains(*choice.version))
        versions.append(*choice.version);
    for (const QString &version : versions)
        html += option(version, versionName(version), choice.version == version);
    html += QLatin1String("</select><label for=\"from\">From</label>"
                          "<input type=\"date\" id=\"from\" name=\"from\" value=\"");
    html += escape(choice.from.toString(Qt::ISODate));
    html += QLatin1String("\"><label for=\"to\">To</label>"
                          "<input type=\"date\" id=\"to\" name=\"to\" value=\"");
    html += escape(choice.to.toString(Qt::ISODate));
    html += QLatin1String("\"><button type=\"submit\">Show</button></form>");
    return html;
}

// A table of names and counts with each one's share of the whole.
QString rankingTable(const QString &id, const QString &caption, const QString &nameHeader,
                     const Figures::Ranking &ranking)
{
    qint64 total = 0;
    for (const auto &row : ranking)
        total += row.second;
    QString html = QLatin1String("<table id=\"") + escape(id) + QLatin1String("\"><caption>")
        + escape(caption) + QLatin1String("</caption><thead><tr><th scope=\"col\">")
        + escape(nameHeader)
        + QLatin1String("</th><th scope=\"col\">Count</th><th scope=\"col\">Share</th>"
                        "</tr></thead><tbody>");
    if (ranking.isEmpty())
        html += QLatin1String("<tr><td colspan=\"3\">None in this range</td></tr>");
    for (const auto &row : ranking) {
        html += QLatin1String("<tr><th scope=\"row\">")
            + escape(row.first.isEmpty() ? QStringLiteral("(empty)") : row.first)
            + QLatin1String("</th>") + cell(row.second) + QLatin1String("<td class=\"number\">")
            + percentage(Figures::rate(row.second, total)) + QLatin1String("</td></tr>");
    }
    return html + QLatin1String("</tbody></table>");
}

QString usageSection(const Figures &figures)
{
    QString html = QLatin1String("<section aria-labelledby=\"usage\">"
                                 "<h2 id=\"usage\">New users, installs and opens</h2>"
                                 "<table id=\"usage-totals\" class=\"totals\">"
                                 "<caption>Totals in this range</caption><thead><tr>"
                                 "<th scope=\"col\">New users</th><th scope=\"col\">Installs</th>"
                                 "<th scope=\"col\">Opens</th></tr></thead><tbody><tr>");
    html += cell(figures.totalNewUsers, QStringLiteral("total-new-users"))
        + cell(figures.totalInstalls, QStringLiteral("total-installs"))
        + cell(figures.totalOpens, QStringLiteral("total-opens"));
    html += QLatin1String("</tr></tbody></table>");
    html += SvgChart::lines(QStringLiteral("usage-chart"),
                            QStringLiteral("New users, installs and opens per day"),
                            figures.days,
                            {{QStringLiteral("New users"), figures.newUsers},
                             {QStringLiteral("Installs"), figures.installs},
                             {QStringLiteral("Opens"), figures.opens}});
    html += QLatin1String("<details><summary>Per day</summary>"
                          "<table id=\"usage-days\"><caption>Per day</caption><thead><tr>"
                          "<th scope=\"col\">Day</th><th scope=\"col\">New users</th>"
                          "<th scope=\"col\">Installs</th><th scope=\"col\">Opens</th>"
                          "</tr></thead><tbody>");
    // Newest first: the day one looks for is usually today.
    for (int i = int(figures.days.size()) - 1; i >= 0; --i) {
        html += QLatin1String("<tr><th scope=\"row\">")
            + escape(figures.days.at(i).toString(Qt::ISODate)) + QLatin1String("</th>")
            + cell(figures.newUsers.at(i)) + cell(figures.installs.at(i))
            + cell(figures.opens.at(i)) + QLatin1String("</tr>");
    }
    html += QLatin1String("</tbody></table></details></section>");
    return html;
}

QString durationTable(const Figures &figures);

QString conversionSection(const Figures &figures)
{
    const qint64 started = figures.conversionsStarted;
    QString html = QLatin1String("<section aria-labelledby=\"conversions\">"
                                 "<h2 id=\"conversions\">Conversions</h2>"
                                 "<div class=\"pair\"><div>"
                                 "<table id=\"conversion-outcomes\"><caption>Outcomes</caption>"
                                 "<thead><tr><th scope=\"col\">Outcome</th>"
                                 "<th scope=\"col\">Count</th>"
                                 "<th scope=\"col\">Rate of started</th></tr></thead><tbody>");
    const struct {
        const char *id;
        const char *label;
        qint64 count;
    } rows[] = {
        {"started", "Started", started},
        {"completed", "Completed", figures.conversionsCompleted},
        {"cancelled", "Cancelled", figures.conversionsCancelled},
        {"failed", "Failed", figures.conversionsFailed},
    };
    for (const auto &row : rows) {
        const QString id = QLatin1String("conversions-") + QLatin1String(row.id);
        html += QLatin1String("<tr><th scope=\"row\">") + QLatin1String(row.label)
            + QLatin1String("</th>") + cell(row.count, id);
        html += QLatin1String("<td class=\"number\" id=\"") + id + QLatin1String("-rate\">")
            + (row.count == started && qstrcmp(row.id, "started") == 0
                   ? QString()
                   : percentage(Figures::rate(row.count, started)))
            + QLatin1String("</td></tr>");
    }
    html += QLatin1String("</tbody></table></div><div>");
    html += durationTable(figures);
    html += QLatin1String("</div></div>");

    html += QLatin1String("<h3>Failure codes</h3><div class=\"pair\">");
    html += SvgChart::bars(QStringLiteral("error-chart"),
                           QStringLiteral("Failures by error code"), figures.errorCodes);
    html += QLatin1String("<table id=\"error-codes\"><caption>Failures by error code</caption>"
                          "<thead><tr><th scope=\"col\">Code</th><th scope=\"col\">Count</th>"
                          "</tr></thead><tbody>");
    for (const auto &code : figures.errorCodes) {
        html += QLatin1String("<tr><th scope=\"row\">") + escape(code.first)
            + QLatin1String("</th>") + cell(code.second, QLatin1String("error-") + code.first)
            + QLatin1String("</tr>");
    }
    html += QLatin1String("</tbody></table></div></section>");
    return html;
}

QString durationTable(const Figures &figures)
{
    QString html = QLatin1String("<table id=\"durations\">"
                                 "<caption>Seconds to complete, by output format</caption>"
                                 "<thead><tr><th scope=\"col\">Format</th>"
                                 "<th scope=\"col\">Completed</th><th scope=\"col\">Median</th>"
                                 "<th scope=\"col\">95th percentile</th></tr></thead><tbody>");
    if (figures.durations.isEmpty())
        html += QLatin1String("<tr><td colspan=\"4\">None in this range</td></tr>");
    for (const Figures::Duration &duration : figures.durations) {
        // Format names come from clients: the ids use their escaped text like any attribute.
        const QString id = QLatin1String("duration-") + duration.format;
        html += QLatin1String("<tr><th scope=\"row\">") + escape(duration.format)
            + QLatin1String("</th>") + cell(duration.count, id + QLatin1String("-count"))
            + cell(duration.medianSeconds, id + QLatin1String("-median"))
            + cell(duration.p95Seconds, id + QLatin1String("-p95")) + QLatin1String("</tr>");
    }
    return html + QLatin1String("</tbody></table>");
}

QString announcementRows(const Viewer &viewer, const std::vector<Announcement> &announcements)
{
    if (announcements.empty())
        return QStringLiteral("<p id=\"no-announcements\">No update is announced.</p>");
    QString html = QLatin1String("<table id=\"announcements\"><caption>Announced updates"
                                 "</caption><thead><tr><th scope=\"col\">Application</th>"
                                 "<th scope=\"col\">Brand</th><th scope=\"col\">Version</th>"
                                 "<th scope=\"col\">Message</th><th scope=\"col\">Web page</th>"
                                 "<th scope=\"col\">Required</th><th scope=\"col\">Changed</th>"
                                 "<th scope=\"col\"><span class=\"hidden\">Action</span></th>"
                                 "</tr></thead><tbody>");
    for (const Announcement &a : announcements) {
        const QString brand = a.brandId ? QString::number(*a.brandId) : QString();
        html += QLatin1String("<tr><th scope=\"row\">") + QString::number(a.appId)
            + QLatin1String("</th><td>")
            + (a.brandId ? escape(brand) : QStringLiteral("every brand"))
            + QLatin1String("</td><td>") + escape(a.version) + QLatin1String("</td><td>")
            + escape(a.message) + QLatin1String("</td><td>") + escape(a.url)
            + QLatin1String("</td><td>")
            + (a.required ? QStringLiteral("yes") : QStringLiteral("no"))
            + QLatin1String("</td><td>")
            + escape(QDateTime::fromMSecsSinceEpoch(a.updatedAtMs, Qt::UTC)
                         .toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")))
            + QLatin1String("</td><td><form method=\"post\" action=\"/announcements\">"
                            "<input type=\"hidden\" name=\"csrf\" value=\"")
            + escape(viewer.csrfToken)
            + QLatin1String("\"><input type=\"hidden\" name=\"action\" value=\"withdraw\">"
                            "<input type=\"hidden\" name=\"app\" value=\"")
            + QString::number(a.appId)
            + QLatin1String("\"><input type=\"hidden\" name=\"brand\" value=\"") + escape(brand)
            // Screen readers list the buttons apart from their rows: say which one it is.
            + QLatin1String("\"><button type=\"submit\" aria-label=\"Withdraw the update for "
                            "application ")
            + QString::number(a.appId)
            + (a.brandId ? QLatin1String(", brand ") + escape(brand) : QString())
            + QLatin1String("\">Withdraw</button></form></td></tr>");
    }
    return html + QLatin1String("</tbody></table>");
}

QString textField(const QString &name, const QString &label, const QString &value,
                  const QString &type, bool required, const QString &hint = QString())
{
    QString html = QLatin1String("<p><label for=\"") + name + QLatin1String("\">")
        + escape(label) + QLatin1String("</label><input type=\"") + type
        + QLatin1String("\" id=\"") + name + QLatin1String("\" name=\"") + name
        + QLatin1String("\" value=\"") + escape(value) + QLatin1Char('"');
    if (required)
        html += QLatin1String(" required");
    if (!hint.isEmpty()) {
        html += QLatin1String(" aria-describedby=\"") + name + QLatin1String("-hint\"><span id=\"")
            + name + QLatin1String("-hint\" class=\"hint\">") + escape(hint)
            + QLatin1String("</span");
    }
    return html + QLatin1String("></p>");
}

} // namespace

QString login(const QString &csrfToken, const QString &error)
{
    QString body;
    if (!error.isEmpty()) {
        body += QLatin1String("<p class=\"error\" role=\"alert\" id=\"login-error\">")
            + escape(error) + QLatin1String("</p>");
    }
    body += QLatin1String("<form class=\"login\" method=\"post\" action=\"/login\">"
                          "<input type=\"hidden\" name=\"csrf\" value=\"");
    body += escape(csrfToken);
    body += QLatin1String("\"><p><label for=\"name\">Name</label>"
                          "<input id=\"name\" name=\"name\" autocomplete=\"username\" required>"
                          "</p><p><label for=\"password\">Password</label>"
                          "<input id=\"password\" name=\"password\" type=\"password\" "
                          "autocomplete=\"current-password\" required></p>"
                          "<p><button type=\"submit\">Log in</button></p></form>");
    return document(Viewer(), QStringLiteral("Log in"), body);
}

QString overview(const Viewer &viewer, const OverviewChoice &choice, const Figures &figures)
{
    QString body = selector(choice, figures);
    body += QLatin1String("<p class=\"scope\" id=\"scope\">")
        + escape(QStringLiteral("Figures for %1, %2, from %3 to %4 (UTC days).")
                     .arg(applicationName(choice.application),
                          choice.version ? QLatin1String("version ") + versionName(*choice.version)
                                         : QStringLiteral("all versions"),
                          choice.from.toString(Qt::ISODate), choice.to.toString(Qt::ISODate)))
        + QLatin1String("</p>");
    body += usageSection(figures);
    body += conversionSection(figures);
    body += QLatin1String("<section aria-labelledby=\"systems\"><h2 id=\"systems\">"
                          "Systems and languages</h2><div class=\"pair\">");
    body += rankingTable(QStringLiteral("os-versions"),
                         QStringLiteral("Operating system versions (at each opening)"),
                         QStringLiteral("OS version"), figures.osVersions);
    body += rankingTable(QStringLiteral("locales"),
                         QStringLiteral("Locales (of new users and installs)"),
                         QStringLiteral("Locale"), figures.locales);
    body += QLatin1String("</div></section>");
    return document(viewer, QStringLiteral("Overview"), body);
}

QString announcements(const Viewer &viewer, const std::vector<Announcement> &announcements,
                      const AnnouncementForm &form)
{
    QString body = announcementRows(viewer, announcements);
    body += QLatin1String("<section aria-labelledby=\"announce\"><h2 id=\"announce\">"
                          "Announce an update</h2>"
                          "<p>The program shows the message when it starts; a required update "
                          "opens the web page and ends the program. A new announcement for the "
                          "same application and brand replaces the old one.</p>");
    if (!form.error.isEmpty()) {
        body += QLatin1String("<p class=\"error\" role=\"alert\" id=\"announce-error\">")
            + escape(form.error) + QLatin1String("</p>");
    }
    body += QLatin1String("<form class=\"announce\" method=\"post\" action=\"/announcements\">"
                          "<input type=\"hidden\" name=\"csrf\" value=\"");
    body += escape(viewer.csrfToken);
    body += QLatin1String("\"><input type=\"hidden\" name=\"action\" value=\"announce\">");
    body += textField(QStringLiteral("app"), QStringLiteral("Application ID"), form.application,
                      QStringLiteral("text"), true);
    body += textField(QStringLiteral("brand"), QStringLiteral("Brand ID"), form.brand,
                      QStringLiteral("text"), false,
                      QStringLiteral("Empty: every brand of the application."));
    body += textField(QStringLiteral("version"), QStringLiteral("Version"), form.version,
                      QStringLiteral("text"), true,
                      QStringLiteral("Dotted numbers, for example 2.1.0."));
    body += textField(QStringLiteral("message"), QStringLiteral("Message"), form.message,
                      QStringLiteral("text"), true);
    body += textField(QStringLiteral("url"), QStringLiteral("Web page"), form.url,
                      QStringLiteral("url"), true,
                      QStringLiteral("An http or https address."));
    body += QLatin1String("<p><input type=\"checkbox\" id=\"required\" name=\"required\" "
                          "value=\"1\"");
    if (form.required)
        body += QLatin1String(" checked");
    body += QLatin1String("><label for=\"required\">Required update</label></p>"
                          "<p><button type=\"submit\">Announce</button></p></form></section>");
    return document(viewer, QStringLiteral("Update announcements"), body);
}

QString notice(const Viewer &viewer, const QString &title, const QString &text)
{
    return document(viewer, title,
                    QLatin1String("<p id=\"notice\">") + escape(text) + QLatin1String("</p>"));
}

QByteArray stylesheet()
{
    return QByteArrayLiteral(
        "body{font-family:system-ui,sans-serif;margin:0;color:#1a1a1a;background:#fff;"
        "line-height:1.4}\n"
        "header{display:flex;flex-wrap:wrap;align-items:center;gap:1em;padding:.5em 1em;"
        "background:#1f3b57;color:#fff}\n"
        "header a{color:#fff}\n"
        ".brand{font-weight:bold;margin:0}\n"
        "nav ul{display:flex;gap:1em;list-style:none;margin:0;padding:0}\n"
        ".logout{margin-left:auto}\n"
        "main{padding:0 1em 2em;max-width:72em}\n"
        "h1{font-size:1.6em}\n"
        "table{border-collapse:collapse;margin:.5em 0 1.5em}\n"
        "caption{text-align:left;font-weight:bold;padding:.25em 0;white-space:nowrap}\n"
        ".pair{display:grid;grid-template-columns:repeat(auto-fit,minmax(22em,1fr));"
        "gap:0 2em;align-items:start}\n"
        ".pair>*{justify-self:start;max-width:100%}\n"
        "h3{margin-bottom:.3em}\n"
        "th,td{border:1px solid #bbb;padding:.2em .6em;text-align:left}\n"
        "td.number{text-align:right;font-variant-numeric:tabular-nums}\n"
        "thead th{background:#eef2f6}\n"
        ".choice{display:flex;flex-wrap:wrap;align-items:center;gap:.4em 1em;padding:.6em;"
        "background:#f4f6f8;border:1px solid #ccd}\n"
        ".chart{display:block;max-width:100%;height:auto;margin:.5em 0}\n"
        "form.login,form.announce{max-width:30em}\n"
        "form.login label,form.announce label{display:block;font-weight:bold}\n"
        "form.login input,form.announce input[type=text],form.announce input[type=url]"
        "{width:100%;box-sizing:border-box;padding:.3em}\n"
        "form.announce input[type=checkbox]+label{display:inline}\n"
        ".hint{display:block;color:#555;font-size:.9em}\n"
        ".error{color:#a00;font-weight:bold}\n"
        ".hidden{position:absolute;left:-9999px}\n"
        "button{padding:.3em .9em}\n");
}

} // namespace DashboardPages
