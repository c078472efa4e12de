#pragma once

#include <QtGlobal>

// The form's ad view, the one widget that differs between the builds.
#if QT_VERSION_MAJOR < 6

#include <QMetaObject>
#include <QUrl>
#include <QWebView>

using AdView = QWebView;

// Even a blank page sets up the web engine's page machinery, the largest single cost of
// start-up; the view lies below the window's edge, so it loads once the window is up.
inline void PrepareAdView(AdView *View)
{
    QMetaObject::invokeMethod(
            View, [View] { View->setUrl(QUrl(QStringLiteral("about:blank"))); },
            Qt::QueuedConnection);
}

#else

#include <QWidget>

// Qt 6 has no QWebView, and a web engine would start a browser process beside the converter.
// A plain widget keeps the view's name, place and size in the form; nothing is ever shown in
// it, so it stays hidden.
using AdView = QWidget;

inline void PrepareAdView(AdView *View)
{
    View->hide();
}

#endif
