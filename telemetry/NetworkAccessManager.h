#pragma once

#include <QObject>

class QNetworkAccessManager;

// Holds the one process-wide QNetworkAccessManager.
class NetworkAccessManager : public QObject
{
    Q_OBJECT

public:
    // Created on first use without a parent, so that replies may still be in flight while
    // the window is torn down; destroyed with the application object.
    static QNetworkAccessManager *SharedInstance();

private:
    NetworkAccessManager() = delete;
    static void DestroySharedInstance();
    static QNetworkAccessManager *s_Instance;
};
