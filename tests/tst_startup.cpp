#include "TestEnvironment.h"
#include "ProgramFolder.h"
#include "TelemetryServer.h"

// The built program as a process: what its diagnostic handler prints, and the lines of its
// start-up, read from standard error.
class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void messageHandler_data();
    void messageHandler();
    void fatalMessageAborts();
    void startupLines_data();
    void startupLines();
    void networkThreadEndsWithApplication();
};

void tst_Startup::messageHandler_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("debug") << "debug" << QByteArray("Debug: abc\n");
    QTest::newRow("warning") << "warning" << QByteArray("Warning: abc\n");
    QTest::newRow("critical") << "critical" << QByteArray("Critical: abc\n");
    QTest::newRow("info prints nothing") << "info" << QByteArray();
    QTest::newRow("unknown type prints nothing") << "other" << QByteArray();
}

void tst_Startup::messageHandler()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, expected);
    QProcess probe;
    probe.start(QStringLiteral(KELVANE_MESSAGEHANDLER_PROBE), {type});
    QVERIFY(probe.waitForFinished(10000));
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), 0);
    QCOMPARE(probe.readAllStandardError(), expected);
    QCOMPARE(probe.readAllStandardOutput(), QByteArray());
}

void tst_Startup::fatalMessageAborts()
{
    QProcess probe;
    probe.start(QStringLiteral(KELVANE_MESSAGEHANDLER_PROBE), {QStringLiteral("fatal")});
    QVERIFY(probe.waitForFinished(10000));
    QCOMPARE(probe.exitStatus(), QProcess::CrashExit);
    QCOMPARE(probe.readAllStandardError(), QByteArray("Fatal: abc\n"));
}

void tst_Startup::startupLines_data()
{
    QTest::addColumn<bool>("withConfiguration");
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<QString>("firstLine");
    QTest::addColumn<QString>("brandStore");
    QTest::addColumn<QString>("applicationStore");

    const QByteArray single = R"({"AppName":"Conv","BrandName":"Maker"})";
    QTest::newRow("configuration")
            << true << single
            << R"(Debug: EmbeddedConfigurationFileData: "{\"AppName\":\"Conv\",\"BrandName\":\"Maker\"}")"
            << "Maker.conf" << "Maker/Conv.conf";
    QTest::newRow("multi-line configuration")
            << true << QByteArray("{\n  \"BrandName\": \"Maker\"\n}\n")
            << R"(Debug: EmbeddedConfigurationFileData: "{\n  \"BrandName\": \"Maker\"\n}\n")"
            << "Maker.conf" << "Maker.conf";
    QTest::newRow("no configuration")
            << false << QByteArray()
            << "Debug: Embedded configuration file error at path: \"%1/Configuration\""
            << "Unknown Organization.conf" << "Unknown Organization.conf";
}

void tst_Startup::startupLines()
{
    QFETCH(bool, withConfiguration);
    QFETCH(QByteArray, configuration);
    QFETCH(QString, firstLine);
    QFETCH(QString, brandStore);
    QFETCH(QString, applicationStore);

    ProgramFolder folder;
    QVERIFY(folder.isReady());
    if (withConfiguration)
        QVERIFY(folder.writeConfiguration(configuration));

    QProcess program;
    const QStringList lines = folder.startAndReadLines(program, QStringLiteral("Debug: ~~~~"), 2);
    program.kill();
    program.waitForFinished(10000);

    for (const QString &line : lines) {
        QVERIFY2(QRegularExpression(QStringLiteral("^(Debug|Warning|Critical): ")).match(line)
                         .hasMatch(),
                 qPrintable(line));
    }
    const QStringList debugLines = lines.filter(QRegularExpression(QStringLiteral("^Debug: ")));
    QVERIFY2(debugLines.size() >= 3, qPrintable(lines.join(QLatin1Char('\n'))));
    const QString configHome = folder.configHome();
    QCOMPARE(debugLines.at(0), firstLine.contains(QLatin1String("%1"))
                                       ? firstLine.arg(folder.path()) : firstLine);
    QCOMPARE(debugLines.at(1),
             QStringLiteral("Debug: ~~~~ \"%1/%2\"").arg(configHome, brandStore));
    QCOMPARE(debugLines.at(2),
             QStringLiteral("Debug: ~~~~ \"%1/%2\"").arg(configHome, applicationStore));
}

// The network manager's thread, left running past the application object, can wake up during
// the process's teardown, for instance as the server closes the kept-alive connection, and crash
// there.
void tst_Startup::networkThreadEndsWithApplication()
{
    TelemetryServer server;
    QVERIFY(server.listen(KELVANE_TEST_TELEMETRY_PORT));
    QProcess probe;
    probe.start(QStringLiteral(KELVANE_NETWORK_PROBE),
                {QStringLiteral("http://127.0.0.1:%1/API/").arg(server.port())});
    QTRY_COMPARE_WITH_TIMEOUT(probe.state(), QProcess::NotRunning, 30000);
    QCOMPARE(server.eventMethods(), QStringList{QStringLiteral("AppOpened")});
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), 0);
    // Qt 5 also leaves its own D-Bus thread to the end; Qt ends that one itself.
    const QByteArray remaining = probe.readAllStandardOutput();
    QVERIFY2(!remaining.contains("QNetworkAccessM"), remaining.constData());
}

KELVANE_TEST_MAIN(tst_Startup)
#include "tst_startup.moc"
