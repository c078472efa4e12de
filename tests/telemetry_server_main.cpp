// A stand-alone telemetry server for trying the program by hand and for the end-to-end suite.
// Prints one line per request: the raw body as it arrived. Options:
//   --port N                 listen on 127.0.0.1:N
//   --answer METHOD=BODY     answer that event with BODY ("*" for every other event);
//                            BODY "@path" answers with the contents of that file
//   --delay METHOD=MS        answer that event after MS milliseconds
//   --never METHOD           never answer that event
#include "TelemetryServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addOption({"port", "Port on 127.0.0.1.", "port"});
    parser.addOption({"answer", "METHOD=BODY answer.", "answer"});
    parser.addOption({"delay", "METHOD=MS delay.", "delay"});
    parser.addOption({"never", "METHOD never answered.", "never"});
    parser.process(application);

    QHash<QString, QByteArray> bodies;
    QHash<QString, int> delays;
    for (const QString &answer : parser.values("answer")) {
        QByteArray body = answer.section('=', 1).toUtf8();
        if (body.startsWith('@')) {
            QFile file(QString::fromUtf8(body.mid(1)));
            if (!file.open(QIODevice::ReadOnly)) {
                fprintf(stderr, "cannot read %s\n", body.constData() + 1);
                return 1;
            }
            body = file.readAll();
        }
        bodies.insert(answer.section('=', 0, 0), body);
    }
    for (const QString &delay : parser.values("delay"))
        delays.insert(delay.section('=', 0, 0), delay.section('=', 1).toInt());
    for (const QString &method : parser.values("never"))
        delays.insert(method, TelemetryServer::Never);

    TelemetryServer server;
    const QByteArray fallback = bodies.value("*", R"({"Status":"SUCCESS"})");
    server.setDefaultAnswer(fallback, delays.value("*", 0));
    QSet<QString> methods(bodies.keyBegin(), bodies.keyEnd());
    for (auto it = delays.cbegin(); it != delays.cend(); ++it)
        methods.insert(it.key());
    for (const QString &method : methods) {
        if (method != QLatin1String("*"))
            server.setAnswer(method, bodies.value(method, fallback), delays.value(method, 0));
    }
    if (!server.listen(quint16(parser.value("port").toUInt()))) {
        fprintf(stderr, "cannot listen on port %s\n", qPrintable(parser.value("port")));
        return 1;
    }
    QObject::connect(&server, &TelemetryServer::requestReceived,
                     [](const TelemetryServer::Request &request) {
                         fwrite(request.body.constData(), 1, size_t(request.body.size()), stdout);
                         fputc('\n', stdout);
                         fflush(stdout);
                     });
    return application.exec();
}
