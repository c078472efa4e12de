// A program that leaks on purpose, for proving that the leak check of the sanitizer build
// catches leaks made by our own code: a parentless object with a child, and a container, never
// deleted. (A parentless widget would not do: Qt keeps every widget in a registry of its own,
// so LeakSanitizer would still see it as reachable.)
#include <QCoreApplication>
#include <QTimer>
#include <QVariantMap>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    auto *owner = new QObject;
    new QTimer(owner);
    auto *settings = new QVariantMap{{QStringLiteral("LastSelectFolder"), QStringLiteral("/")}};
    return owner->children().size() + settings->size() - 2;
}
