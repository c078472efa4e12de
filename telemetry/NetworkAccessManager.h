#pragma once

#include <QObject>

class QNetworkAccessManager;

// Holds the one process-wide QNetworkAccessManager.
class NetworkAccessManager : public QObject
{
    Q_OBJECT

public:
    // Created on first use without a parent and never destroyed: replies may still be in
    // flight while the window is torn down.
    static QNetworkAccessManager *SharedInstance();

private:
    NetworkAccessManager() = delete;
    static QNetworkAccessManager *s_Instance;
};
