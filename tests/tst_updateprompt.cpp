#include "TestEnvironment.h"
#include "ConfigurationFile.h"
#include "MessageCapture.h"
#include "ModalAnswerer.h"
#include "TelemetryServer.h"
#include "UrlRecorder.h"

#include "config/Configuration.h"
#include "ui/MainWindow.h"

#include <QEventLoop>
#include <QMessageBox>
#include <QTranslator>

#include <memory>

namespace {

// Translates every text, so that a text that should not pass through translation shows.
class EverythingTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *sourceText, const char *,
                      int) const override
    {
        if (qstrcmp(context, "MainWindow") != 0)
            return QString();
        return QStringLiteral("translated: ") + QString::fromUtf8(sourceText);
    }
    bool isEmpty() const override { return false; }
};

} // namespace

// The server's start-up answer offering an update, answered as a user answers the box.
class tst_UpdatePrompt : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void prompt_data();
    void prompt();
    void titleIsNotTranslated();
    void adLinkOpensInBrowser();

private:
    TelemetryServer m_Server;
    ModalAnswerer m_Answerer;
    UrlRecorder m_Opened{{QStringLiteral("http"), QStringLiteral("https")}};
};

void tst_UpdatePrompt::initTestCase()
{
    QVERIFY(m_Server.listen(KELVANE_TEST_TELEMETRY_PORT));
    QVERIFY(ConfigurationFile().load(R"({"AppName":"Conv","BrandName":"Maker"})"));
    // A converter in place keeps the start-up to the events this test is about.
    QDir().mkpath(QCoreApplication::applicationDirPath() + "/ffmpeg-win");
    QFile converter(Configuration::PathForFFMPEG());
    QVERIFY(converter.open(QIODevice::WriteOnly));
}

void tst_UpdatePrompt::init()
{
    m_Server.clearAnswers();
    m_Server.clearRequests();
    m_Opened.clear();
    m_Answerer.clear();
}

void tst_UpdatePrompt::cleanup()
{
    // A required update asks the application to exit, which keeps every later event loop from
    // running until the application's own loop has run once.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

void tst_UpdatePrompt::prompt_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("reply");
    QTest::addColumn<bool>("boxShown");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<QList<QUrl>>("opened");
    QTest::addColumn<bool>("programEnds");

    const int ok = QMessageBox::Ok;
    const int yesNo = QMessageBox::Yes | QMessageBox::No;
    const QList<QUrl> page{QUrl("https://kelvane.example/update")};
    const QList<QUrl> nothing;
    const QByteArray required =
            R"({"Update":{"Required":1,"Message":"Version 2 is required.","BrowsableURL":"https://kelvane.example/update"}})";
    const QByteArray optional =
            R"({"Update":{"Required":0,"Message":"Version 2 is out.","BrowsableURL":"https://kelvane.example/update"}})";

    QTest::newRow("no update") << QByteArray(R"({"News":1})") << int(ModalAnswerer::ClickDefault) << false
                               << "" << 0 << nothing << false;
    QTest::newRow("no contents") << QByteArray() << int(ModalAnswerer::ClickDefault) << false
                                 << "" << 0 << nothing << false;
    QTest::newRow("required") << required << int(ModalAnswerer::ClickDefault) << true
                              << "Version 2 is required." << ok << page << true;
    QTest::newRow("required, box dismissed") << required << int(ModalAnswerer::Dismiss) << true
                                             << "Version 2 is required." << ok << page << true;
    QTest::newRow("required as text")
            << QByteArray(R"({"Update":{"Required":"1","Message":"m","BrowsableURL":"https://kelvane.example/update"}})")
            << int(ModalAnswerer::ClickDefault) << true << "m" << ok << page << true;
    QTest::newRow("optional, yes") << optional << int(ModalAnswerer::ClickDefault) << true
                                   << "Version 2 is out." << yesNo << page << false;
    QTest::newRow("optional, no") << optional << int(ModalAnswerer::ClickNo) << true
                                  << "Version 2 is out." << yesNo << nothing << false;
    QTest::newRow("optional, dismissed") << optional << int(ModalAnswerer::Dismiss) << true
                                         << "Version 2 is out." << yesNo << nothing << false;
    QTest::newRow("required 2 is optional")
            << QByteArray(R"({"Update":{"Required":2,"Message":"m","BrowsableURL":"https://kelvane.example/update"}})")
            << int(ModalAnswerer::ClickDefault) << true << "m" << yesNo << page << false;
    QTest::newRow("update not an object") << QByteArray(R"({"Update":"soon"})")
                                          << int(ModalAnswerer::ClickDefault) << true << "" << yesNo
                                          << nothing << false;
    QTest::newRow("no page to open")
            << QByteArray(R"({"Update":{"Required":1,"Message":"m"}})") << int(ModalAnswerer::ClickDefault)
            << true << "m" << ok << nothing << true;
}

void tst_UpdatePrompt::prompt()
{
    QFETCH(QByteArray, contents);
    QFETCH(int, reply);
    QFETCH(bool, boxShown);
    QFETCH(QList<QUrl>, opened);
    QFETCH(bool, programEnds);

    const QByteArray answer = contents.isEmpty()
            ? QByteArray(R"({"Status":"SUCCESS"})")
            : R"({"Status":"SUCCESS","Contents":)" + contents + "}";
    m_Server.setAnswer("AppOpened", answer);
    m_Answerer.setBoxReply(ModalAnswerer::BoxReply(reply));
    MessageCapture log;
    auto window = std::make_unique<MainWindow>();
    QEventLoop loop;
    connect(&m_Server, &TelemetryServer::answered, &loop, [&loop](const QString &method) {
        // Give the answer time to be handled; an exit requested by the window wins.
        if (method == QLatin1String("AppOpened"))
            QTimer::singleShot(1000, &loop, [&loop] { loop.exit(42); });
    });
    QTimer::singleShot(15000, &loop, [&loop] { loop.exit(99); });
    const int ended = loop.exec();

    QVERIFY(ended != 99);
    QVERIFY(log.indexOf(QStringLiteral("AppInitialization:")) >= 0);
    QCOMPARE(ended == 0, programEnds);
    QCOMPARE(m_Answerer.boxes().size(), boxShown ? 1 : 0);
    if (boxShown) {
        const ModalAnswerer::Box &seen = m_Answerer.boxes().first();
        QCOMPARE(seen.title, QStringLiteral("Update Available"));
        QTEST(seen.text, "text");
        QTEST(int(seen.buttons), "buttons");
        QCOMPARE(int(seen.defaultButton),
                 seen.buttons == QMessageBox::Ok ? int(QMessageBox::Ok) : int(QMessageBox::Yes));
    }
    QCOMPARE(m_Opened.urls(), opened);
    // A required update ends the program without the close flow's event.
    window.reset();
    QCOMPARE(m_Server.requestsFor("AppClosed").size(), 0);
}

void tst_UpdatePrompt::titleIsNotTranslated()
{
    EverythingTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    auto restore = qScopeGuard([&translator] { QCoreApplication::removeTranslator(&translator); });
    m_Server.setAnswer("AppOpened", R"({"Status":"SUCCESS","Contents":{"Update":{"Message":"m"}}})");
    m_Answerer.setBoxReply(ModalAnswerer::ClickNo);
    MainWindow window;
    QCOMPARE(window.findChild<QWidget *>("convertButton")->property("text").toString(),
             QStringLiteral("translated: Convert"));
    QTRY_COMPARE_WITH_TIMEOUT(m_Answerer.boxes().size(), 1, 10000);
    QCOMPARE(m_Answerer.boxes().first().title, QStringLiteral("Update Available"));
    QCOMPARE(m_Answerer.boxes().first().text, QStringLiteral("m"));
}

void tst_UpdatePrompt::adLinkOpensInBrowser()
{
    MainWindow window;
    MessageCapture log;
    QVERIFY(QMetaObject::invokeMethod(&window, "AdLinkClicked",
                                      Q_ARG(QUrl, QUrl("https://ads.kelvane.example/a?b=1"))));
    QCOMPARE(m_Opened.urls(), QList<QUrl>{QUrl("https://ads.kelvane.example/a?b=1")});
    QCOMPARE(log.lines().last(),
             QStringLiteral("Link clicked: QUrl(\"https://ads.kelvane.example/a?b=1\")"));
}

KELVANE_TEST_MAIN(tst_UpdatePrompt)
#include "tst_updateprompt.moc"
