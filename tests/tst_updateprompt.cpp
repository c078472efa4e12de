#include "TestEnvironment.h"
#include "MessageCapture.h"
#include "TelemetryServer.h"

#include "config/Configuration.h"
#include "ui/MainWindow.h"

#include <QDesktopServices>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
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

struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

} // namespace

// The server's start-up answer offering an update, answered as a user answers the box.
class tst_UpdatePrompt : public QObject
{
    Q_OBJECT

public slots:
    void captureUrl(const QUrl &url) { m_OpenedUrls << url; }

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void prompt_data();
    void prompt();
    void titleIsNotTranslated();
    void adLinkOpensInBrowser();

private:
    enum Reply { ClickDefault, ClickNo, Dismiss };
    // Answers the first message box that appears; returns what the box looked like.
    void answerNextBox(Reply reply, SeenBox *seen);

    TelemetryServer m_Server;
    QList<QUrl> m_OpenedUrls;
    QPointer<QTimer> m_Poll;
};

void tst_UpdatePrompt::initTestCase()
{
    QVERIFY(m_Server.listen(KELVANE_TEST_TELEMETRY_PORT));
    QDesktopServices::setUrlHandler("http", this, "captureUrl");
    QDesktopServices::setUrlHandler("https", this, "captureUrl");
    QFile file(Configuration::PathForConfigurationFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"AppName":"Conv","BrandName":"Maker"})");
    file.close();
    Configuration::Initialize();
    // A converter in place keeps the start-up to the events this test is about.
    QDir().mkpath(QCoreApplication::applicationDirPath() + "/ffmpeg-win");
    QFile converter(Configuration::PathForFFMPEG());
    QVERIFY(converter.open(QIODevice::WriteOnly));
}

void tst_UpdatePrompt::init()
{
    m_Server.clearAnswers();
    m_Server.clearRequests();
    m_OpenedUrls.clear();
}

void tst_UpdatePrompt::cleanup()
{
    delete m_Poll;
    // A required update asks the application to exit, which keeps every later event loop from
    // running until the application's own loop has run once.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

void tst_UpdatePrompt::answerNextBox(Reply reply, SeenBox *seen)
{
    delete m_Poll;
    auto *poll = new QTimer(this);
    m_Poll = poll;
    connect(poll, &QTimer::timeout, this, [poll, reply, seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll->deleteLater();
        poll->stop();
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->buttons = box->standardButtons();
        seen->defaultButton = box->standardButton(box->defaultButton());
        if (reply == Dismiss)
            QTest::keyClick(box, Qt::Key_Escape);
        else if (reply == ClickNo)
            box->button(QMessageBox::No)->click();
        else
            box->defaultButton()->click();
    });
    poll->start(20);
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

    QTest::newRow("no update") << QByteArray(R"({"News":1})") << int(ClickDefault) << false
                               << "" << 0 << nothing << false;
    QTest::newRow("no contents") << QByteArray() << int(ClickDefault) << false
                                 << "" << 0 << nothing << false;
    QTest::newRow("required") << required << int(ClickDefault) << true
                              << "Version 2 is required." << ok << page << true;
    QTest::newRow("required, box dismissed") << required << int(Dismiss) << true
                                             << "Version 2 is required." << ok << page << true;
    QTest::newRow("required as text")
            << QByteArray(R"({"Update":{"Required":"1","Message":"m","BrowsableURL":"https://kelvane.example/update"}})")
            << int(ClickDefault) << true << "m" << ok << page << true;
    QTest::newRow("optional, yes") << optional << int(ClickDefault) << true
                                   << "Version 2 is out." << yesNo << page << false;
    QTest::newRow("optional, no") << optional << int(ClickNo) << true
                                  << "Version 2 is out." << yesNo << nothing << false;
    QTest::newRow("optional, dismissed") << optional << int(Dismiss) << true
                                         << "Version 2 is out." << yesNo << nothing << false;
    QTest::newRow("required 2 is optional")
            << QByteArray(R"({"Update":{"Required":2,"Message":"m","BrowsableURL":"https://kelvane.example/update"}})")
            << int(ClickDefault) << true << "m" << yesNo << page << false;
    QTest::newRow("update not an object") << QByteArray(R"({"Update":"soon"})")
                                          << int(ClickDefault) << true << "" << yesNo
                                          << nothing << false;
    QTest::newRow("no page to open")
            << QByteArray(R"({"Update":{"Required":1,"Message":"m"}})") << int(ClickDefault)
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
    SeenBox seen;
    answerNextBox(Reply(reply), &seen);
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
    QCOMPARE(!seen.title.isEmpty(), boxShown);
    if (boxShown) {
        QCOMPARE(seen.title, QStringLiteral("Update Available"));
        QTEST(seen.text, "text");
        QTEST(int(seen.buttons), "buttons");
        QCOMPARE(int(seen.defaultButton),
                 seen.buttons == QMessageBox::Ok ? int(QMessageBox::Ok) : int(QMessageBox::Yes));
    }
    QCOMPARE(m_OpenedUrls, opened);
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
    SeenBox seen;
    answerNextBox(ClickNo, &seen);
    MainWindow window;
    QCOMPARE(window.findChild<QWidget *>("convertButton")->property("text").toString(),
             QStringLiteral("translated: Convert"));
    QTRY_VERIFY_WITH_TIMEOUT(!seen.title.isEmpty(), 10000);
    QCOMPARE(seen.title, QStringLiteral("Update Available"));
    QCOMPARE(seen.text, QStringLiteral("m"));
}

void tst_UpdatePrompt::adLinkOpensInBrowser()
{
    MainWindow window;
    MessageCapture log;
    QVERIFY(QMetaObject::invokeMethod(&window, "AdLinkClicked",
                                      Q_ARG(QUrl, QUrl("https://ads.kelvane.example/a?b=1"))));
    QCOMPARE(m_OpenedUrls, QList<QUrl>{QUrl("https://ads.kelvane.example/a?b=1")});
    QCOMPARE(log.lines().last(),
             QStringLiteral("Link clicked: QUrl(\"https://ads.kelvane.example/a?b=1\")"));
}

KELVANE_TEST_MAIN(tst_UpdatePrompt)
#include "tst_updateprompt.moc"
