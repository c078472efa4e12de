#include "telemetry/NetworkAccessManager.h"

#include <QNetworkAccessManager>

QNetworkAccessManager *NetworkAccessManager::s_Instance = nullptr;

QNetworkAccessManager *NetworkAccessManager::SharedInstance()
{
    if (!s_Instance)
        s_Instance = new QNetworkAccessManager;
    return s_Instance;
}
