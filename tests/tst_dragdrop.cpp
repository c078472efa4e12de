#include "TestEnvironment.h"
#include "ConfigurationFile.h"
#include "ConverterStandIn.h"
#include "PendingRequests.h"
#include "TelemetryServer.h"

#include "config/Configuration.h"
#include "ui/MainWindow.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>

#include <memory>

// Dropping a file on the window, with the drag-and-drop events that Qt delivers to the widget
// under the cursor and passes up to the window.
class tst_DragDrop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void drops_data();
    void drops();
    void refusedWhileConverting();
    void draggedSourceFile_data();
    void draggedSourceFile();

private:
    struct Delivery
    {
        bool enterAccepted = false;
        bool moveAccepted = false;
        bool dropAccepted = false;
    };

    // Drags the data over the widget at the point, as the window system does, and drops it.
    Delivery dragAndDrop(const QMimeData &data, const QPoint &point);
    QString makeFile(const QString &name);
    QLineEdit *selectedFile() const
    {
        return m_Window->findChild<QLineEdit *>(QStringLiteral("selectedFileLineEdit"));
    }
    QString rememberedFile() const
    {
        return Configuration::ApplicationSettings->value(QStringLiteral("LastSelectFolder"))
                .toString();
    }

    TelemetryServer m_Server;
    std::unique_ptr<MainWindow> m_Window;
    QTemporaryDir m_Files;
};

void tst_DragDrop::initTestCase()
{
    QVERIFY(m_Server.listen(KELVANE_TEST_TELEMETRY_PORT));
    QVERIFY(m_Files.isValid());
}

void tst_DragDrop::init()
{
    QVERIFY(ConfigurationFile().load(
            R"({"AppName":"Conv","BrandName":"Maker","SourceFormatExtension":"FLAC,wav",)"
            R"("OutputFormatExtension":"mp3","FFMPEGArguments":"-y"})"));
    Configuration::ApplicationSettings->clear();
    m_Window = std::make_unique<MainWindow>();
    QVERIFY(QTest::qWaitForWindowExposed(m_Window.get()));
}

void tst_DragDrop::cleanup()
{
    m_Window.reset();
    ConverterStandIn::remove();
    QTRY_VERIFY_WITH_TIMEOUT(AllRequestsFinished(), 10000);
}

tst_DragDrop::Delivery tst_DragDrop::dragAndDrop(const QMimeData &data, const QPoint &point)
{
    QWidget *target = m_Window->childAt(point);
    if (!target)
        target = m_Window.get();
    const QPoint local = target->mapFrom(m_Window.get(), point);
    const Qt::DropActions actions = Qt::CopyAction | Qt::LinkAction;
    Delivery delivery;

    QDragEnterEvent enter(local, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    delivery.enterAccepted = enter.isAccepted();
    if (!delivery.enterAccepted)
        return delivery;   // Qt sends nothing more to a window that refused the drag
    QDragMoveEvent move(local, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    delivery.moveAccepted = move.isAccepted();
    QDropEvent drop(QPointF(local), actions, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    delivery.dropAccepted = drop.isAccepted();
    return delivery;
}

QString tst_DragDrop::makeFile(const QString &name)
{
    const QString path = m_Files.path() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("fLaC") != 4)
        return QString();
    return path;
}

void tst_DragDrop::drops_data()
{
    QTest::addColumn<QStringList>("files");         // made, then dragged in this order
    QTest::addColumn<QList<QUrl>>("extraUrls");     // dragged after the files
    QTest::addColumn<bool>("accepted");

    const QList<QUrl> none;
    QTest::newRow("one file of the first extension") << QStringList{"a.flac"} << none << true;
    QTest::newRow("upper-case extension") << QStringList{"B.FLAC"} << none << true;
    QTest::newRow("mixed-case second extension") << QStringList{"c.WaV"} << none << true;
    QTest::newRow("non-ASCII name") << QStringList{QString::fromUtf8("Ärger – 音楽.flac")}
                                    << none << true;
    QTest::newRow("other extension") << QStringList{"d.mp3"} << none << false;
    QTest::newRow("extension only inside the name") << QStringList{"e.flac.txt"} << none << false;
    QTest::newRow("no extension") << QStringList{"flac"} << none << false;
    QTest::newRow("two files") << QStringList{"f.flac", "g.flac"} << none << false;
    QTest::newRow("web address") << QStringList() << QList<QUrl>{QUrl("https://x.example/h.flac")}
                                 << false;
    QTest::newRow("file that does not exist")
            << QStringList() << QList<QUrl>{QUrl::fromLocalFile("/nonexistent/i.flac")} << false;
    QTest::newRow("no URL at all") << QStringList() << none << false;
}

void tst_DragDrop::drops()
{
    QFETCH(QStringList, files);
    QFETCH(QList<QUrl>, extraUrls);
    QFETCH(bool, accepted);

    QList<QUrl> urls;
    for (const QString &name : files) {
        const QString path = makeFile(name);
        QVERIFY(!path.isEmpty());
        urls << QUrl::fromLocalFile(path);
    }
    urls << extraUrls;
    QMimeData data;
    if (!urls.isEmpty())
        data.setUrls(urls);
    else
        data.setText(QStringLiteral("/some/where/j.flac"));

    // Over the file name field, which takes no drops itself, so the window gets them.
    const QPoint overTextField = selectedFile()->geometry().center();
    const Delivery delivery = dragAndDrop(data, overTextField);

    QCOMPARE(delivery.enterAccepted, accepted);
    const QString expected = accepted ? urls.first().toLocalFile() : QString();
    QCOMPARE(selectedFile()->text(), expected);
    QCOMPARE(rememberedFile(), expected);
    if (accepted) {
        QVERIFY(delivery.moveAccepted);
        QVERIFY(delivery.dropAccepted);
    }
}

void tst_DragDrop::refusedWhileConverting()
{
    QVERIFY(ConverterStandIn::install(ConverterStandIn::Script().hang()));
    QMimeData first;
    first.setUrls({QUrl::fromLocalFile(makeFile(QStringLiteral("first.flac")))});
    QVERIFY(dragAndDrop(first, QPoint(300, 150)).dropAccepted);
    auto *convert = m_Window->findChild<QPushButton *>(QStringLiteral("convertButton"));
    QTest::mouseClick(convert, Qt::LeftButton);
    QTRY_VERIFY(ConverterStandIn::isRunning());
    QCOMPARE(convert->text(), QStringLiteral("Cancel"));

    QMimeData second;
    second.setUrls({QUrl::fromLocalFile(makeFile(QStringLiteral("second.flac")))});
    QVERIFY(!dragAndDrop(second, QPoint(300, 150)).enterAccepted);
    // A drop that arrives anyway (the drag entered before the conversion began) changes
    // nothing either.
    QDropEvent drop(QPointF(300, 150), Qt::CopyAction, &second, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_Window.get(), &drop);
    QVERIFY(!drop.isAccepted());

    const QString firstPath = first.urls().constFirst().toLocalFile();
    QCOMPARE(selectedFile()->text(), firstPath);
    QCOMPARE(rememberedFile(), firstPath);
    QCOMPARE(ConverterStandIn::arguments().value(1), firstPath);
}

// The acceptance rule on its own, including what a window cannot be shown: a folder whose
// name ends like a source file.
void tst_DragDrop::draggedSourceFile_data()
{
    QTest::addColumn<QString>("extensions");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("folder");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("file") << "FLAC" << "k.flac" << false << true;
    QTest::newRow("folder named like a source") << "FLAC" << "l.flac" << true << false;
    QTest::newRow("empty extension in the list") << "FLAC," << "m." << false << false;
    QTest::newRow("no extensions configured") << "" << "n.flac" << false << false;
    QTest::newRow("third of three") << "wav,aiff,aif" << "o.AIF" << false << true;
}

void tst_DragDrop::draggedSourceFile()
{
    QFETCH(QString, extensions);
    QFETCH(QString, name);
    QFETCH(bool, folder);
    QFETCH(bool, accepted);

    const QString path = m_Files.path() + QLatin1Char('/') + name;
    QVERIFY(folder ? QDir().mkpath(path) : !makeFile(name).isEmpty());
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QCOMPARE(MainWindow::DraggedSourceFile(&data, extensions), accepted ? path : QString());
}

KELVANE_TEST_MAIN(tst_DragDrop)
#include "tst_dragdrop.moc"
