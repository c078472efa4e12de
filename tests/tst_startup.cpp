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
    void fatalMessageAborts_data();
    void fatalMessageAborts();
    void startupLines_data();
    void startupLines();
    void networkThreadEndsWithApplication();
};

// Every line that reaches standard error carries its type's prefix, also each line of a
// message that spans lines, such as Qt 6.8's warning about a locale that is not UTF-8.
void tst_Startup::messageHandler_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("debug") << "debug" << QByteArray("abc") << QByteArray("Debug: abc\n");
    QTest::newRow("warning") << "warning" << QByteArray("abc") << QByteArray("Warning: abc\n");
    QTest::newRow("critical") << "critical" << QByteArray("abc")
                              << QByteArray("Critical: abc\n");
    QTest::newRow("empty") << "warning" << QByteArray() << QByteArray("Warning: \n");
    QTest::newRow("debug over two lines")
            << "debug" << QByteArray("abc\ndef") << QByteArray("Debug: abc\nDebug: def\n");
    QTest::newRow("the locale warning over four lines")
            << "warning"
            << QByteArray("Detected locale \"C\" with character encoding \"ANSI_X3.4-1968\", "
                          "which is not UTF-8.\n"
                          "Qt depends on a UTF-8 locale, and has switched to \"C.UTF-8\" "
                          "instead.\n"
                          "If this causes problems, reconfigure your locale. See the locale(1) "
                          "manual\n"
                          "for more information.")
            << QByteArray("Warning: Detected locale \"C\" with character encoding "
                          "\"ANSI_X3.4-1968\", which is not UTF-8.\n"
                          "Warning: Qt depends on a UTF-8 locale, and has switched to "
                          "\"C.UTF-8\" instead.\n"
                          "Warning: If this causes problems, reconfigure your locale. See the "
                          "locale(1) manual\n"
                          "Warning: for more information.\n");
    QTest::newRow("critical with empty lines")
            << "critical" << QByteArray("\none\n\ntwo\n")
            << QByteArray("Critical: \nCritical: one\nCritical: \nCritical: two\nCritical: \n");
    QTest::newRow("info prints nothing") << "info" << QByteArray("abc\ndef") << QByteArray();
    QTest::newRow("unknown type prints nothing") << "other" << QByteArray("abc") << QByteArray();
}

void tst_Startup::messageHandler()
{
    QFETCH(QString, type);
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    QProcess probe;
    probe.start(QStringLiteral(KELVANE_MESSAGEHANDLER_PROBE),
                {type, QString::fromLocal8Bit(text)});
    QVERIFY(probe.waitForFinished(10000));
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), 0);
    QCOMPARE(probe.readAllStandardError(), expected);
    QCOMPARE(probe.readAllStandardOutput(), QByteArray());
}

void tst_Startup::fatalMessageAborts_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("one line") << QByteArray("abc") << QByteArray("Fatal: abc\n");
    QTest::newRow("two lines") << QByteArray("abc\ndef") << QByteArray("Fatal: abc\nFatal: def\n");
}

void tst_Startup::fatalMessageAborts()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    QProcess probe;
    probe.start(QStringLiteral(KELVANE_MESSAGEHANDLER_PROBE),
                {QStringLiteral("fatal"), QString::fromLocal8Bit(text)});
    QVERIFY(probe.waitForFinished(10000));
    QCOMPARE(probe.exitStatus(), QProcess::CrashExit);
    QCOMPARE(probe.readAllStandardError(), expected);
}

void tst_Startup::startupLines_data()
{
    QTest::addColumn<bool>("withConfiguration");
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<QString>("firstLine");
    QTest::addColumn<QString>("brandStore");
    QTest::addColumn<QString>("applicationStore");
    QTest::addColumn<bool>("bareLocale");

    const QByteArray single = R"({"AppName":"Conv","BrandName":"Maker"})";
    const QString singleLine =
            R"(Debug: EmbeddedConfigurationFileData: "{\"AppName\":\"Conv\",\"BrandName\":\"Maker\"}")";
    QTest::newRow("configuration")
            << true << single << singleLine
            << "Maker.conf" << "Maker/Conv.conf" << false;
    // No LANG or LC_*: Qt 6.8 and later warn over four lines that the C locale is not UTF-8.
    QTest::newRow("configuration in a bare locale")
            << true << single << singleLine
            << "Maker.conf" << "Maker/Conv.conf" << true;
    QTest::newRow("multi-line configuration")
            << true << QByteArray("{\n  \"BrandName\": \"Maker\"\n}\n")
            << R"(Debug: EmbeddedConfigurationFileData: "{\n  \"BrandName\": \"Maker\"\n}\n")"
            << "Maker.conf" << "Maker.conf" << false;
    QTest::newRow("no configuration")
            << false << QByteArray()
            << "Debug: Embedded configuration file error at path: \"%1/Configuration\""
            << "Unknown Organization.conf" << "Unknown Organization.conf" << false;
}

void tst_Startup::startupLines()
{
    QFETCH(bool, withConfiguration);
    QFETCH(QByteArray, configuration);
    QFETCH(QString, firstLine);
    QFETCH(QString, brandStore);
    QFETCH(QString, applicationStore);
    QFETCH(bool, bareLocale);

    ProgramFolder folder;
    QVERIFY(folder.isReady());
    if (withConfiguration)
        QVERIFY(folder.writeConfiguration(configuration));

    QProcess program;
    if (bareLocale)
        program.setProcessEnvironment(folder.bareLocaleEnvironment());
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
