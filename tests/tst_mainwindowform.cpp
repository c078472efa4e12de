#include "TestEnvironment.h"

#include "ui/MainWindowForm.h"
#include "ui/QLabelClickable.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QResource>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QtEndian>

#include <memory>

// Counts the mouse presses that reach the watched object, whoever they were aimed at.
class PressCounter : public QObject
{
public:
    using QObject::QObject;
    int presses = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonPress)
            ++presses;
        return QObject::eventFilter(watched, event);
    }
};

class tst_MainWindowForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void windowIsFixedAndBare();
    void formMembersNameTheirObjects();
    void widgets_data();
    void widgets();
    void styleSheets_data();
    void styleSheets();
    void sizeLimits_data();
    void sizeLimits();
    void inputsStartEmpty();
    void stackingOrder();
    void helpLinkLook();
    void helpLabelTakesEveryButton_data();
    void helpLabelTakesEveryButton();
    void pressOnPictogramReachesHelpLabel();
    void helpIconCannotClick();
    void actions_data();
    void actions();
    void adWebViewIsBlank();
    void pngPictures_data();
    void pngPictures();
    void appIconHasEightFrames();
    void windowIconUsesAppIcon();

private:
    QWidget *central() const;
    QWidget *widget(const QString &name) const;
    QRect pictogramRect() const;

    std::unique_ptr<QMainWindow> m_window;
    MainWindowForm m_form;
};

namespace {

// Colour types of a PNG header.
const int PngRgb = 2;
const int PngRgba = 6;

const QVector<int> AppIconSizes = {128, 96, 72, 64, 48, 32, 24, 16};

QByteArray resourceBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace

void tst_MainWindowForm::initTestCase()
{
    // The bare form, as it stands before the window's controller fills it in.
    m_window = std::make_unique<QMainWindow>();
    m_form.setupUi(m_window.get());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QVERIFY(central());
}

void tst_MainWindowForm::cleanupTestCase()
{
    m_window.reset();
}

QWidget *tst_MainWindowForm::central() const
{
    return m_window->findChild<QWidget *>(QStringLiteral("centralWidget"),
                                          Qt::FindDirectChildrenOnly);
}

QWidget *tst_MainWindowForm::widget(const QString &name) const
{
    if (name == m_window->objectName())
        return m_window.get();
    if (name == QLatin1String("centralWidget"))
        return central();
    return central()->findChild<QWidget *>(name, Qt::FindDirectChildrenOnly);
}

// Where the help pictogram is drawn, in centralWidget's coordinates.
QRect tst_MainWindowForm::pictogramRect() const
{
    auto *icon = qobject_cast<QLabel *>(widget(QStringLiteral("HelpIcon")));
    if (!icon)
        return QRect();
    const QRect inIcon = QStyle::alignedRect(icon->layoutDirection(), icon->alignment(),
                                             icon->pixmap(Qt::ReturnByValue).size(),
                                             icon->contentsRect());
    return inIcon.translated(icon->pos());
}

void tst_MainWindowForm::windowIsFixedAndBare()
{
    QCOMPARE(m_window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Kelvane"));
    QCOMPARE(m_window->size(), QSize(600, 190));
    QCOMPARE(m_window->minimumSize(), QSize(600, 190));
    QCOMPARE(m_window->maximumSize(), QSize(600, 190));

    m_window->resize(800, 400);
    QCOMPARE(m_window->size(), QSize(600, 190));

    QCOMPARE(m_window->centralWidget(), central());
    QCOMPARE(central()->metaObject()->className(), "QWidget");
    QCOMPARE(central()->geometry(), QRect(0, 0, 600, 190));
    QVERIFY(!m_window->menuWidget());
    QVERIFY(!m_window->findChild<QStatusBar *>());
    QVERIFY(m_window->findChildren<QToolBar *>().isEmpty());
}

void tst_MainWindowForm::formMembersNameTheirObjects()
{
    const QVector<QPair<QObject *, const char *>> members = {
        {m_form.actionBoom, "actionBoom"},
        {m_form.actionSend_Diagnostics, "actionSend_Diagnostics"},
        {m_form.centralWidget, "centralWidget"},
        {m_form.selectFileButton, "selectFileButton"},
        {m_form.selectFileLabel, "selectFileLabel"},
        {m_form.convertButton, "convertButton"},
        {m_form.selectedFileLineEdit, "selectedFileLineEdit"},
        {m_form.outputFormatLabel, "outputFormatLabel"},
        {m_form.outputFormatComboBox, "outputFormatComboBox"},
        {m_form.qualityComboBox, "qualityComboBox"},
        {m_form.qualityLabel, "qualityLabel"},
        {m_form.showFilesButton, "showFilesButton"},
        {m_form.statusLabel, "statusLabel"},
        {m_form.adWebView, "adWebView"},
        {m_form.progressBar, "progressBar"},
        {m_form.label, "label"},
        {m_form.HelpLabel, "HelpLabel"},
        {m_form.HelpIcon, "HelpIcon"},
    };
    for (const auto &member : members) {
        QVERIFY2(member.first, member.second);
        QCOMPARE(member.first->objectName(), QString::fromLatin1(member.second));
    }
}

void tst_MainWindowForm::widgets_data()
{
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QVariant>("text"); // invalid: the widget shows no text of its own

    const QVariant empty = QString();
    const QVariant none;
    QTest::newRow("selectFileButton")
        << QByteArray("QPushButton") << QRect(482, 34, 111, 24) << QVariant("Find File");
    QTest::newRow("selectFileLabel")
        << QByteArray("QLabel") << QRect(12, 10, 461, 21)
        << QVariant("Select a %SourceFormatExtension% file from your computer:");
    QTest::newRow("convertButton")
        << QByteArray("QPushButton") << QRect(348, 140, 121, 31) << QVariant("Convert");
    QTest::newRow("selectedFileLineEdit")
        << QByteArray("QLineEdit") << QRect(10, 36, 462, 21) << empty;
    QTest::newRow("outputFormatLabel")
        << QByteArray("QLabel") << QRect(13, 74, 101, 21) << QVariant("Output format:");
    QTest::newRow("outputFormatComboBox")
        << QByteArray("QComboBox") << QRect(10, 91, 325, 26) << none;
    QTest::newRow("qualityComboBox")
        << QByteArray("QComboBox") << QRect(349, 91, 244, 26) << none;
    QTest::newRow("qualityLabel")
        << QByteArray("QLabel") << QRect(353, 74, 121, 21) << QVariant("Preferred quality:");
    QTest::newRow("showFilesButton")
        << QByteArray("QPushButton") << QRect(472, 140, 121, 31) << QVariant("Show Files");
    QTest::newRow("statusLabel") << QByteArray("QLabel") << QRect(12, 120, 231, 21) << empty;
    QTest::newRow("adWebView") << QByteArray(AdView::staticMetaObject.className())
                               << QRect(0, 208, 601, 41) << none;
    QTest::newRow("progressBar")
        << QByteArray("QProgressBar") << QRect(12, 144, 325, 23) << none;
    QTest::newRow("label") << QByteArray("QLabel") << QRect(0, 0, 601, 190) << empty;
    QTest::newRow("HelpLabel")
        << QByteArray("QLabelClickable") << QRect(540, 0, 51, 31) << QVariant("Help");
    QTest::newRow("HelpIcon") << QByteArray("QLabel") << QRect(530, 2, 31, 31) << empty;
}

void tst_MainWindowForm::widgets()
{
    QFETCH(QByteArray, className);
    QFETCH(QRect, geometry);
    QFETCH(QVariant, text);

    QWidget *w = widget(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY2(w, "no such child of centralWidget");
    QCOMPARE(QByteArray(w->metaObject()->className()), className);
    QCOMPARE(w->geometry(), geometry);
    if (text.isValid())
        QCOMPARE(w->property("text").toString(), text.toString());
}

void tst_MainWindowForm::styleSheets_data()
{
    QTest::addColumn<QString>("styleSheet");

    QTest::newRow("MainWindow") << QStringLiteral("font-size: 12px;");
    QTest::newRow("centralWidget") << QString();
    QTest::newRow("selectFileButton") << QString();
    QTest::newRow("selectFileLabel") << QString();
    QTest::newRow("convertButton") << QStringLiteral("font-size:12px;");
    QTest::newRow("selectedFileLineEdit") << QString();
    QTest::newRow("outputFormatLabel") << QString();
    QTest::newRow("outputFormatComboBox") << QString();
    QTest::newRow("qualityComboBox") << QString();
    QTest::newRow("qualityLabel") << QString();
    QTest::newRow("showFilesButton") << QString();
    QTest::newRow("statusLabel") << QString();
    QTest::newRow("adWebView") << QString();
    QTest::newRow("progressBar") << QString();
    QTest::newRow("label") << QStringLiteral("background-image: url(:/Images/Background.png)");
    QTest::newRow("HelpLabel") << QStringLiteral("color: blue; text-decoration: underline; ");
    QTest::newRow("HelpIcon") << QStringLiteral("color: blue; text-decoration: underline;");
}

void tst_MainWindowForm::styleSheets()
{
    QFETCH(QString, styleSheet);

    QWidget *w = widget(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(w);
    QCOMPARE(w->styleSheet(), styleSheet);
}

void tst_MainWindowForm::sizeLimits_data()
{
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QSize>("maximum");

    const QSize unlimited(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    QTest::newRow("adWebView") << QSize(520, 0) << unlimited;
    QTest::newRow("label") << QSize(520, 180) << QSize(800, 190);
    QTest::newRow("selectFileButton") << QSize(0, 0) << unlimited;
    QTest::newRow("HelpLabel") << QSize(0, 0) << unlimited;
}

void tst_MainWindowForm::sizeLimits()
{
    QFETCH(QSize, minimum);
    QFETCH(QSize, maximum);

    QWidget *w = widget(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(w);
    QCOMPARE(w->minimumSize(), minimum);
    QCOMPARE(w->maximumSize(), maximum);
}

// What the controller fills in later must still be untouched, or it would find stale content.
void tst_MainWindowForm::inputsStartEmpty()
{
    auto *lineEdit = central()->findChild<QLineEdit *>(QStringLiteral("selectedFileLineEdit"));
    QVERIFY(lineEdit);
    QVERIFY(lineEdit->isReadOnly());

    auto *formats = central()->findChild<QComboBox *>(QStringLiteral("outputFormatComboBox"));
    QVERIFY(formats);
    QCOMPARE(formats->count(), 0);

    auto *quality = central()->findChild<QComboBox *>(QStringLiteral("qualityComboBox"));
    QVERIFY(quality);
    QCOMPARE(quality->count(), 1);
    QCOMPARE(quality->itemText(0), QStringLiteral("Always use highest quality"));
    QCOMPARE(quality->currentIndex(), 0);

    auto *progress = central()->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    QVERIFY(progress);
    QCOMPARE(progress->value(), 0);
    QVERIFY(progress->isTextVisible());
}

void tst_MainWindowForm::stackingOrder()
{
    const QStringList bottomToTop = {
        "label", "selectFileButton", "selectFileLabel", "convertButton",
        "selectedFileLineEdit", "outputFormatLabel", "outputFormatComboBox",
        "qualityComboBox", "qualityLabel", "showFilesButton", "statusLabel",
        "adWebView", "progressBar", "HelpIcon", "HelpLabel",
    };
    QStringList actual;
    for (const QObject *child : central()->children())
        actual << child->objectName();
    QCOMPARE(actual, bottomToTop);
}

void tst_MainWindowForm::helpLinkLook()
{
    auto *link = central()->findChild<QLabelClickable *>(QStringLiteral("HelpLabel"));
    auto *icon = central()->findChild<QLabel *>(QStringLiteral("HelpIcon"));
    QVERIFY(link);
    QVERIFY(icon);

    QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(link->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    QCOMPARE(icon->alignment(), Qt::AlignRight | Qt::AlignVCenter);

    // Emptying the icon's text must not have dropped its picture.
    const QPixmap pixmap = icon->pixmap(Qt::ReturnByValue);
    QVERIFY(!pixmap.isNull());
    const QImage::Format premultiplied = QImage::Format_ARGB32_Premultiplied;
    const QImage expected =
        QImage(QStringLiteral(":/Images/HelpIcon.png")).convertToFormat(premultiplied);
    QCOMPARE(pixmap.toImage().convertToFormat(premultiplied), expected);
}

void tst_MainWindowForm::helpLabelTakesEveryButton_data()
{
    QTest::addColumn<int>("buttonValue");

    QTest::newRow("left") << int(Qt::LeftButton);
    QTest::newRow("right") << int(Qt::RightButton);
    QTest::newRow("middle") << int(Qt::MiddleButton);
}

void tst_MainWindowForm::helpLabelTakesEveryButton()
{
    QFETCH(int, buttonValue);
    const auto button = Qt::MouseButton(buttonValue);

    auto *link = central()->findChild<QLabelClickable *>(QStringLiteral("HelpLabel"));
    QVERIFY(link);
    QSignalSpy clicked(link, &QLabelClickable::clicked);
    PressCounter parentPresses;
    central()->installEventFilter(&parentPresses);

    QTest::mousePress(link, button, Qt::NoModifier, link->rect().center());
    QTest::mouseRelease(link, button, Qt::NoModifier, link->rect().center());

    central()->removeEventFilter(&parentPresses);
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(parentPresses.presses, 0);
}

// The pictogram sits under the link; a press on any part of it must land on the link.
void tst_MainWindowForm::pressOnPictogramReachesHelpLabel()
{
    auto *link = central()->findChild<QLabelClickable *>(QStringLiteral("HelpLabel"));
    QVERIFY(link);
    const QRect pictogram = pictogramRect();
    QCOMPARE(pictogram.size(), QSize(16, 16));

    const QVector<QPoint> points = {pictogram.topLeft(), pictogram.topRight(),
                                    pictogram.bottomLeft(), pictogram.bottomRight(),
                                    pictogram.center()};
    for (const QPoint &point : points)
        QCOMPARE(central()->childAt(point), link);

    // Through the window system, as a user's press would arrive.
    QSignalSpy clicked(link, &QLabelClickable::clicked);
    const QPoint inWindow = central()->mapTo(m_window.get(), pictogram.center());
    QTest::mousePress(m_window->windowHandle(), Qt::LeftButton, Qt::NoModifier, inWindow);
    QTest::mouseRelease(m_window->windowHandle(), Qt::LeftButton, Qt::NoModifier, inWindow);
    QCOMPARE(clicked.count(), 1);
}

void tst_MainWindowForm::helpIconCannotClick()
{
    QWidget *icon = widget(QStringLiteral("HelpIcon"));
    QVERIFY(icon);
    QCOMPARE(icon->metaObject()->indexOfSignal("clicked()"), -1);
}

void tst_MainWindowForm::actions_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("actionBoom") << QStringLiteral("Visit Website");
    QTest::newRow("actionSend_Diagnostics") << QStringLiteral("Send Feedback");
}

void tst_MainWindowForm::actions()
{
    QFETCH(QString, text);

    const QString name = QString::fromLatin1(QTest::currentDataTag());
    auto *action = m_window->findChild<QAction *>(name, Qt::FindDirectChildrenOnly);
    QVERIFY2(action, "no such action among the window's children");
    QCOMPARE(action->text(), text);
    // No widget offers it: not the window, nor any menu or tool bar in it.
    QVERIFY(!m_window->actions().contains(action));
    for (const QWidget *child : m_window->findChildren<QWidget *>())
        QVERIFY(!child->actions().contains(action));
    QCOMPARE(m_window->findChildren<QAction *>(name).count(), 1);
}

// The Qt 5 build shows a blank page in its web view; the Qt 6 build has no web view, and the
// widget that keeps its place is never shown.
void tst_MainWindowForm::adWebViewIsBlank()
{
    auto *view = central()->findChild<AdView *>(QStringLiteral("adWebView"));
    QVERIFY(view);
#if QT_VERSION_MAJOR < 6
    QCOMPARE(view->metaObject()->className(), "QWebView");
    QTRY_COMPARE(view->url(), QUrl(QStringLiteral("about:blank")));
#else
    QCOMPARE(view->metaObject()->className(), "QWidget");
    QVERIFY(m_window->isVisible());
    QVERIFY(!view->isVisible());
    QVERIFY(view->isHidden());
#endif
}

void tst_MainWindowForm::pngPictures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("colourType");

    QTest::newRow("background") << QStringLiteral(":/Images/Background.png") << QSize(800, 600)
                                << PngRgb;
    QTest::newRow("help icon") << QStringLiteral(":/Images/HelpIcon.png") << QSize(16, 16)
                               << PngRgba;
}

void tst_MainWindowForm::pngPictures()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(int, colourType);

    QVERIFY(QResource(path).isValid());
    QCOMPARE(QResource(path).compressionAlgorithm(), QResource::NoCompression);

    const QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), size);
    QCOMPARE(image.hasAlphaChannel(), colourType == PngRgba);

    // Signature (8 bytes), IHDR length and type (8), width and height (8), then bit depth
    // and colour type.
    const QByteArray bytes = resourceBytes(path);
    QVERIFY(bytes.size() > 26);
    QVERIFY(bytes.startsWith("\x89PNG\r\n\x1a\n"));
    QCOMPARE(bytes.mid(12, 4), QByteArray("IHDR"));
    QCOMPARE(int(quint8(bytes.at(24))), 8);
    QCOMPARE(int(quint8(bytes.at(25))), colourType);
}

void tst_MainWindowForm::appIconHasEightFrames()
{
    const QString path = QStringLiteral(":/Images/AppIcon.ico");
    QCOMPARE(QResource(path).compressionAlgorithm(), QResource::NoCompression);

    QImageReader reader(path);
    QCOMPARE(reader.imageCount(), AppIconSizes.size());
    for (int size : AppIconSizes) {
        const QImage frame = reader.read();
        QVERIFY2(!frame.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(frame.size(), QSize(size, size));
        QVERIFY(frame.hasAlphaChannel());
        reader.jumpToNextImage();
    }

    // The directory itself: reserved 0, type 1 (icon), the count, then 16-byte entries whose
    // first two bytes are width and height (0 standing for 256) and bytes 6-7 the bit count.
    const QByteArray bytes = resourceBytes(path);
    const auto *data = reinterpret_cast<const uchar *>(bytes.constData());
    QVERIFY(bytes.size() >= 6 + 16 * AppIconSizes.size());
    QCOMPARE(qFromLittleEndian<quint16>(data), quint16(0));
    QCOMPARE(qFromLittleEndian<quint16>(data + 2), quint16(1));
    QCOMPARE(int(qFromLittleEndian<quint16>(data + 4)), AppIconSizes.size());
    for (int i = 0; i < AppIconSizes.size(); ++i) {
        const uchar *entry = data + 6 + 16 * i;
        const int width = entry[0] ? entry[0] : 256;
        const int height = entry[1] ? entry[1] : 256;
        QCOMPARE(width, AppIconSizes.at(i));
        QCOMPARE(height, AppIconSizes.at(i));
        QCOMPARE(qFromLittleEndian<quint16>(entry + 6), quint16(32));
    }
}

void tst_MainWindowForm::windowIconUsesAppIcon()
{
    const QIcon icon = m_window->windowIcon();
    QVERIFY(!icon.isNull());
    const QImage frame = icon.pixmap(QSize(48, 48)).toImage();
    QImageReader reader(QStringLiteral(":/Images/AppIcon.ico"));
    QImage expected;
    for (int i = 0; i < reader.imageCount() && expected.size() != QSize(48, 48); ++i) {
        reader.jumpToImage(i);
        expected = reader.read();
    }
    QCOMPARE(expected.size(), QSize(48, 48));
    QCOMPARE(frame.convertToFormat(expected.format()), expected);
}

KELVANE_TEST_MAIN(tst_MainWindowForm)
#include "tst_mainwindowform.moc"
