#include "telemetry/NetworkAccessManager.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>

QNetworkAccessManager *NetworkAccessManager::s_Instance = nullptr;

QNetworkAccessManager *NetworkAccessManager::SharedInstance()
{
    if (!s_Instance) {
        s_Instance = new QNetworkAccessManager;
        qAddPostRoutine(DestroySharedInstance);
    }
    return s_Instance;
}

// Runs as the application object goes, after the window and every request's owner: the
// manager's network thread must end before the process tears down the libraries it uses.
void NetworkAccessManager::DestroySharedInstance()
{
    delete s_Instance;
    s_Instance = nullptr;
}
