#pragma once

#include <QDesktopServices>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

// Stands in for the browser and the file manager: every URL of the given schemes that the
// program asks the desktop to open is recorded instead (offscreen, nothing could open it).
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    explicit UrlRecorder(const QStringList &schemes, QObject *parent = nullptr)
        : QObject(parent)
        , m_Schemes(schemes)
    {
        for (const QString &scheme : m_Schemes)
            QDesktopServices::setUrlHandler(scheme, this, "captureUrl");
    }
    ~UrlRecorder() override
    {
        for (const QString &scheme : m_Schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }

    const QList<QUrl> &urls() const { return m_Urls; }
    void clear() { m_Urls.clear(); }

public slots:
    // Called by name by QDesktopServices::openUrl().
    void captureUrl(const QUrl &url) { m_Urls << url; }

private:
    const QStringList m_Schemes;
    QList<QUrl> m_Urls;
};
