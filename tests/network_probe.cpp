// Sends one event through the program's shared network manager to the URL in its argument,
// waits for the answer and ends the application; then prints the name of every thread still
// running besides the main one, one per line. Whatever outlives the application object runs
// while the process tears down the libraries under it.
#include "telemetry/NetworkAccessManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <cstdio>
#include <unistd.h>

// The names of the process's threads besides the main one, as the kernel keeps them.
static QByteArrayList OtherThreads()
{
    const QString self = QString::number(getpid());
    QByteArrayList names;
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task"))
                                      .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &task : tasks) {
        QFile name(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (task != self && name.open(QIODevice::ReadOnly))
            names << name.readAll().trimmed();
    }
    return names;
}

int main(int argc, char *argv[])
{
    {
        QCoreApplication application(argc, argv);
        const QNetworkRequest request(QUrl(QCoreApplication::arguments().value(1)));
        QNetworkReply *reply = NetworkAccessManager::SharedInstance()->post(
                request, QByteArray(R"(PostData={"Method":"AppOpened"}&)"));
        QObject::connect(reply, &QNetworkReply::finished, &application, &QCoreApplication::quit);
        application.exec();
    }

    // A thread that has just been waited for may take a moment to leave the process; one that
    // was never ended stays.
    QByteArrayList remaining = OtherThreads();
    for (int waited = 0; waited < 5000 && remaining.contains("QNetworkAccessM"); waited += 10) {
        usleep(10 * 1000);
        remaining = OtherThreads();
    }
    for (const QByteArray &name : remaining)
        printf("%s\n", name.constData());
    return 0;
}
