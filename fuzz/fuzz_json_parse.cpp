// Feeds arbitrary text to JSON::Parse, the reader of the configuration file and of every
// server answer, and checks the promises its callers rely on: the value types it yields, its
// nesting limit, and that what Stringify writes reads back as the same value.

#include "FuzzCheck.h"
#include "config/JSON.h"

#include <QCoreApplication>
#include <QString>

#include <sanitizer/lsan_interface.h>

#include <cmath>
#include <cstdint>

namespace {

// Keys and list positions down to a value, for the report of a broken promise.
QByteArray PathText(const QStringList &Path)
{
    return Path.isEmpty() ? QByteArray("(top)") : Path.join(QLatin1Char('/')).toUtf8();
}

// Touches every value and checks its type: numbers come back as doubles, booleans are dropped,
// null is an invalid variant, and containers deeper than the limit are left out.
void WalkValue(const QVariant &Value, int Level, QStringList *Path);

void WalkMap(const QVariantMap &Map, int Level, QStringList *Path)
{
    FUZZ_CHECK(Level <= JSON::MaximumNestingDepth, "container too deep at %s",
               PathText(*Path).constData());
    for (auto entry = Map.cbegin(); entry != Map.cend(); ++entry) {
        Path->append(entry.key());
        WalkValue(entry.value(), Level + 1, Path);
        Path->removeLast();
    }
}

void WalkList(const QVariantList &List, int Level, QStringList *Path)
{
    FUZZ_CHECK(Level <= JSON::MaximumNestingDepth, "container too deep at %s",
               PathText(*Path).constData());
    for (int index = 0; index < List.size(); ++index) {
        Path->append(QString::number(index));
        WalkValue(List.at(index), Level + 1, Path);
        Path->removeLast();
    }
}

void WalkValue(const QVariant &Value, int Level, QStringList *Path)
{
    switch (Value.userType()) {
    case QMetaType::QVariantMap:
        WalkMap(Value.toMap(), Level, Path);
        break;
    case QMetaType::QVariantList:
        WalkList(Value.toList(), Level, Path);
        break;
    case QMetaType::QString:
        // Reading every character makes ASan check the whole buffer.
        (void)qHash(Value.toString());
        break;
    case QMetaType::Double:
        (void)std::isfinite(Value.toDouble());
        break;
    case QMetaType::UnknownType:
        break;
    default:
        FUZZ_CHECK(false, "unexpected type %s at %s", Value.typeName(),
                   PathText(*Path).constData());
    }
}

QVariant Written(const QVariant &Value);

// What a value becomes once written by Stringify and read back by Parse: JSON has no
// infinities, so they are written as null; a null member of an object is not written at all;
// a null element of an array stays, since dropping it would move the elements after it.
QVariantMap WrittenMap(const QVariantMap &Map)
{
    QVariantMap written;
    for (auto entry = Map.cbegin(); entry != Map.cend(); ++entry) {
        // The script engine cannot write a member named __proto__ (it sets the prototype).
        if (entry.value().isValid() && entry.key() != QLatin1String("__proto__"))
            written.insert(entry.key(), Written(entry.value()));
    }
    return written;
}

QVariant Written(const QVariant &Value)
{
    switch (Value.userType()) {
    case QMetaType::QVariantMap:
        return WrittenMap(Value.toMap());
    case QMetaType::QVariantList: {
        QVariantList written;
        for (const QVariant &element : Value.toList())
            written.append(Written(element));
        return written;
    }
    case QMetaType::Double:
        return std::isfinite(Value.toDouble()) ? Value : QVariant();
    default:
        return Value;
    }
}

// The first key that only one of the maps has, quoted, and marked with the map lacking it.
QString MissingKeyText(const QVariantMap &Expected, const QVariantMap &Actual)
{
    for (const QString &key : Expected.keys()) {
        if (!Actual.contains(key))
            return QStringLiteral("\"%1\" (lost)").arg(key);
    }
    for (const QString &key : Actual.keys()) {
        if (!Expected.contains(key))
            return QStringLiteral("\"%1\" (added)").arg(key);
    }
    return QString();
}

// Exact comparison: QVariant's own operator== converts between types and would hide a
// string that came back as a number.
bool Same(const QVariant &Expected, const QVariant &Actual, QStringList *Path)
{
    if (Expected.userType() != Actual.userType())
        return false;
    switch (Expected.userType()) {
    case QMetaType::QVariantMap: {
        const QVariantMap expected = Expected.toMap();
        const QVariantMap actual = Actual.toMap();
        if (expected.keys() != actual.keys()) {
            Path->append(MissingKeyText(expected, actual));
            return false;
        }
        for (auto entry = expected.cbegin(); entry != expected.cend(); ++entry) {
            Path->append(entry.key());
            if (!Same(entry.value(), actual.value(entry.key()), Path))
                return false;
            Path->removeLast();
        }
        return true;
    }
    case QMetaType::QVariantList: {
        const QVariantList expected = Expected.toList();
        const QVariantList actual = Actual.toList();
        if (expected.size() != actual.size())
            return false;
        for (int index = 0; index < expected.size(); ++index) {
            Path->append(QString::number(index));
            if (!Same(expected.at(index), actual.at(index), Path))
                return false;
            Path->removeLast();
        }
        return true;
    }
    case QMetaType::Double:
        return Expected.toDouble() == Actual.toDouble();
    case QMetaType::QString:
        return Expected.toString() == Actual.toString();
    default:
        return true;
    }
}

void CheckText(const QString &Text)
{
    QStringList path;
    const QVariantMap parsed = JSON::Parse(Text);
    WalkMap(parsed, 1, &path);

    const QString text = JSON::Stringify(parsed);
    const QVariantMap reread = JSON::Parse(text);
    WalkMap(reread, 1, &path);
    FUZZ_CHECK(Same(WrittenMap(parsed), reread, &path),
               "Stringify then Parse changed the value at %s\nwritten: %s",
               PathText(path).constData(), text.toUtf8().constData());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // QScriptEngine refuses to start without an application object.
    static QCoreApplication application(*argc, *argv);
    // The first engine of a thread allocates the script runtime's per-thread data, which is
    // never freed. Made here, it is not blamed on whichever input comes first, and a leak of
    // any later engine is still reported.
    __lsan::ScopedDisabler disabler;
    JSON::Parse(QStringLiteral("{}"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(Data),
                                                     int(Size));
    // Server answers are read as Latin-1, the configuration file in the locale's encoding
    // (UTF-8 on any current desktop); the two readings differ only for bytes beyond ASCII.
    const QString latin1 = QString::fromLatin1(bytes);
    const QString utf8 = QString::fromUtf8(bytes);
    CheckText(latin1);
    if (utf8 != latin1)
        CheckText(utf8);
    return 0;
}
