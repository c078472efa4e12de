#include "config/JSON.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLocale>

#include <algorithm>
#include <cmath>

// QtCore's parser is strict: a text that is not JSON is rejected as a whole, and nothing in it
// can run. Texts are written here rather than by QJsonDocument, whose number and string forms
// differ from the ECMAScript ones that the server has always received.

namespace {

constexpr int MaximumNestingDepth = JSON::MaximumNestingDepth;
// ECMAScript leaves out a member named so: it would set the object's prototype.
const QString PrototypeName = QStringLiteral("__proto__");

QVariantMap MapFromObject(const QJsonObject &Object, int Depth);
QVariantList ListFromArray(const QJsonArray &Array, int Depth);

// Depth is the level the value has if it is an array or an object. Returns false when the
// value is left out: a boolean, or a container nested too deep.
bool VariantFromValue(const QJsonValue &Value, int Depth, QVariant *Variant)
{
    const bool tooDeep = Depth > MaximumNestingDepth;
    switch (Value.type()) {
    case QJsonValue::Array:
        if (tooDeep)
            return false;
        *Variant = ListFromArray(Value.toArray(), Depth);
        return true;
    case QJsonValue::Object:
        if (tooDeep)
            return false;
        *Variant = MapFromObject(Value.toObject(), Depth);
        return true;
    case QJsonValue::Double:
        *Variant = Value.toDouble();
        return true;
    case QJsonValue::String:
        *Variant = Value.toString();
        return true;
    case QJsonValue::Null:
        *Variant = QVariant();
        return true;
    default:
        return false;
    }
}

QVariantMap MapFromObject(const QJsonObject &Object, int Depth)
{
    QVariantMap map;
    for (auto member = Object.constBegin(); member != Object.constEnd(); ++member) {
        QVariant variant;
        if (VariantFromValue(member.value(), Depth + 1, &variant))
            map.insert(member.key(), variant);
    }
    return map;
}

// A value that gives no variant is not appended, so later elements move forward.
QVariantList ListFromArray(const QJsonArray &Array, int Depth)
{
    QVariantList list;
    for (const QJsonValue &element : Array) {
        QVariant variant;
        if (VariantFromValue(element, Depth + 1, &variant))
            list.append(variant);
    }
    return list;
}

// A top-level array reads as an object with its indexes and its length as members: an element
// that gives no variant leaves a gap rather than moving the later ones forward.
QVariantMap MapFromTopLevelArray(const QJsonArray &Array)
{
    QVariantMap map;
    for (int index = 0; index < Array.size(); ++index) {
        QVariant variant;
        if (VariantFromValue(Array.at(index), 2, &variant))
            map.insert(QString::number(index), variant);
    }
    map.insert(QStringLiteral("length"), double(Array.size()));
    return map;
}

// ECMAScript's Number::toString: the shortest digits that read back as the same number, in
// plain notation from 1e-6 up to 1e21 and in exponent notation outside it.
void AppendNumber(QString &Text, double Number)
{
    if (!std::isfinite(Number)) {
        Text += QLatin1String("null");
        return;
    }
    if (Number == 0) {
        Text += QLatin1Char('0');
        return;
    }
    if (Number < 0)
        Text += QLatin1Char('-');
    // "d.ddde+x": the shortest round-trip digits and the decimal exponent.
    const QString scientific =
            QString::number(std::fabs(Number), 'e', QLocale::FloatingPointShortest);
    const int e = scientific.indexOf(QLatin1Char('e'));
    const QString digits = scientific.left(e).remove(QLatin1Char('.'));
    const int k = digits.size();
    const int n = scientific.mid(e + 1).toInt() + 1;   // the point's place after digit n

    if (k <= n && n <= 21) {
        Text += digits + QString(n - k, QLatin1Char('0'));
    } else if (0 < n && n <= 21) {
        Text += digits.left(n) + QLatin1Char('.') + digits.mid(n);
    } else if (-6 < n && n <= 0) {
        Text += QLatin1String("0.") + QString(-n, QLatin1Char('0')) + digits;
    } else {
        Text += digits.left(1);
        if (k > 1)
            Text += QLatin1Char('.') + digits.mid(1);
        Text += QLatin1Char('e');
        Text += QLatin1Char(n - 1 < 0 ? '-' : '+');
        Text += QString::number(std::abs(n - 1));
    }
}

// JSON.stringify's quoting: the two-character escapes, other control characters as \u00xx,
// everything else as it is.
void AppendQuoted(QString &Text, const QString &String)
{
    Text += QLatin1Char('"');
    for (const QChar character : String) {
        switch (character.unicode()) {
        case '"': Text += QLatin1String("\\\""); break;
        case '\\': Text += QLatin1String("\\\\"); break;
        case '\b': Text += QLatin1String("\\b"); break;
        case '\f': Text += QLatin1String("\\f"); break;
        case '\n': Text += QLatin1String("\\n"); break;
        case '\r': Text += QLatin1String("\\r"); break;
        case '\t': Text += QLatin1String("\\t"); break;
        default:
            if (character.unicode() < 0x20)
                Text += QStringLiteral("\\u%1").arg(character.unicode(), 4, 16, QLatin1Char('0'));
            else
                Text += character;
        }
    }
    Text += QLatin1Char('"');
}

// How values convert. A map handed to Stringify keeps only text, whole numbers, numbers, lists
// and maps (down to the nesting limit): booleans and the other types that have no place in the
// configuration or in a telemetry request are left out. Inside a list every value converts as
// a script value would: booleans stay, any number is a number, and a map inside a list follows
// the same rule.
enum class Rules { TopLevelMap, Script };

bool AppendValue(QString &Text, const QVariant &Value, int Depth, Rules Conversion);

// A value that has no JSON form is written as null, as JSON.stringify does inside an array.
void AppendList(QString &Text, const QVariantList &List, int Depth)
{
    Text += QLatin1Char('[');
    for (int index = 0; index < List.size(); ++index) {
        if (index > 0)
            Text += QLatin1Char(',');
        if (!AppendValue(Text, List.at(index), Depth + 1, Rules::Script))
            Text += QLatin1String("null");
    }
    Text += QLatin1Char(']');
}

// A member whose value has no JSON form is left out, as JSON.stringify does inside an object.
void AppendObject(QString &Text, const QVariantMap &Map, int Depth, Rules Conversion)
{
    Text += QLatin1Char('{');
    bool first = true;
    for (auto entry = Map.cbegin(); entry != Map.cend(); ++entry) {
        if (entry.key() == PrototypeName)
            continue;
        QString member;
        AppendQuoted(member, entry.key());
        member += QLatin1Char(':');
        if (!AppendValue(member, entry.value(), Depth + 1, Conversion))
            continue;
        if (!first)
            Text += QLatin1Char(',');
        Text += member;
        first = false;
    }
    Text += QLatin1Char('}');
}

// Depth is the level the value has if it is a list or a map. Returns false when the value has
// no JSON form under these rules.
bool AppendValue(QString &Text, const QVariant &Value, int Depth, Rules Conversion)
{
    const bool script = Conversion == Rules::Script;
    switch (Value.userType()) {
    case QMetaType::QString:
        AppendQuoted(Text, Value.toString());
        return true;
    case QMetaType::Int:
    case QMetaType::Double:
        AppendNumber(Text, Value.toDouble());
        return true;
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Float:
        if (!script)
            return false;
        AppendNumber(Text, Value.toDouble());
        return true;
    case QMetaType::Bool:
        if (!script)
            return false;
        Text += QLatin1String(Value.toBool() ? "true" : "false");
        return true;
    case QMetaType::QStringList:
        if (!script)
            return false;
        AppendList(Text, QVariant(Value.toStringList()).toList(), Depth);
        return true;
    case QMetaType::QVariantList:
        if (Depth > MaximumNestingDepth)
            return false;
        AppendList(Text, Value.toList(), Depth);
        return true;
    case QMetaType::QVariantMap:
        if (Depth > MaximumNestingDepth)
            return false;
        AppendObject(Text, Value.toMap(), Depth, Conversion);
        return true;
    default:
        return false;
    }
}

// QtCore's parser reads UTF-8, which cannot hold a lone surrogate, while a script string can.
// Such a code unit is only valid inside a string, so it goes in as the escape that stands for
// it there.
QByteArray ParserInput(const QString &Text)
{
    const auto surrogate = std::find_if(Text.cbegin(), Text.cend(),
                                        [](QChar unit) { return unit.isSurrogate(); });
    if (surrogate == Text.cend())
        return Text.toUtf8();
    QString escaped;
    escaped.reserve(Text.size());
    for (int index = 0; index < Text.size(); ++index) {
        const QChar unit = Text.at(index);
        if (unit.isHighSurrogate() && index + 1 < Text.size()
            && Text.at(index + 1).isLowSurrogate()) {
            escaped += unit;
            escaped += Text.at(++index);
        } else if (unit.isSurrogate()) {
            escaped += QStringLiteral("\\u%1").arg(unit.unicode(), 4, 16, QLatin1Char('0'));
        } else {
            escaped += unit;
        }
    }
    return escaped.toUtf8();
}

} // namespace

QVariantMap JSON::Parse(const QString &Text)
{
    const QJsonDocument document = QJsonDocument::fromJson(ParserInput(Text));
    if (document.isObject())
        return MapFromObject(document.object(), 1);
    if (document.isArray())
        return MapFromTopLevelArray(document.array());
    return QVariantMap();
}

QString JSON::Stringify(const QVariantMap &Map)
{
    QString text;
    AppendObject(text, Map, 1, Rules::TopLevelMap);
    return text;
}
