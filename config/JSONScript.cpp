#include "config/JSON.h"

#include <QScriptEngine>
#include <QScriptValue>
#include <QScriptValueIterator>

// The text comes from the configuration file or from a server, so it is handed to the engine's
// strict JSON.parse and never evaluated: an answer cannot run code or keep the program busy.
// Text that is not JSON gives the parser's error value, which is walked like any object, so
// the caller simply finds none of the keys it expects.
namespace {

QScriptValue ScriptValueFromMap(const QVariantMap &Map, QScriptEngine *Engine, int Depth);
QVariantMap MapFromScriptValue(const QScriptValue &Value, int Depth);
QVariantList ListFromScriptValue(const QScriptValue &Value, int Depth);
bool VariantFromScriptValue(const QScriptValue &Value, int Depth, QVariant *Variant);

} // namespace

QVariantMap JSON::Parse(const QString &Text)
{
    QScriptEngine engine;
    QScriptValue parse = engine.globalObject()
                             .property(QStringLiteral("JSON"))
                             .property(QStringLiteral("parse"));
    const QScriptValueList arguments{QScriptValue(Text)};
    return MapFromScriptValue(parse.call(QScriptValue(), arguments), 1);
}

QString JSON::Stringify(const QVariantMap &Map)
{
    QScriptEngine engine;
    engine.evaluate(QStringLiteral("function toString() { return JSON.stringify(this) }"),
                    QString(), 1);
    QScriptValue toString = engine.globalObject().property(QStringLiteral("toString"));
    return toString.call(ScriptValueFromMap(Map, &engine, 1)).toString();
}

namespace {

constexpr int MaximumNestingDepth = JSON::MaximumNestingDepth;

// Booleans and the other types that have no place in the configuration or in a telemetry
// request are left out here; inside a list the engine's own conversion keeps them.
QScriptValue ScriptValueFromMap(const QVariantMap &Map, QScriptEngine *Engine, int Depth)
{
    QScriptValue object = Engine->newObject();
    for (auto entry = Map.cbegin(); entry != Map.cend(); ++entry) {
        // The engine takes a member of this name as the object's prototype: it cannot be
        // written as a member, so it is left out like the other values JSON cannot carry.
        if (entry.key() == QLatin1String("__proto__"))
            continue;
        const QVariant &value = entry.value();
        switch (value.type()) {
        case QVariant::String:
            object.setProperty(entry.key(), QScriptValue(value.toString()));
            break;
        case QVariant::Int:
            object.setProperty(entry.key(), QScriptValue(value.toInt()));
            break;
        case QVariant::Double:
            object.setProperty(entry.key(), QScriptValue(value.toDouble()));
            break;
        case QVariant::List: {
            const QVariantList list = value.toList();
            QScriptValue array = Engine->newArray();
            for (int index = 0; index < list.size(); ++index)
                array.setProperty(quint32(index), Engine->toScriptValue(list.at(index)));
            object.setProperty(entry.key(), array);
            break;
        }
        case QVariant::Map:
            if (Depth < MaximumNestingDepth)
                object.setProperty(entry.key(),
                                   ScriptValueFromMap(value.toMap(), Engine, Depth + 1));
            break;
        default:
            break;
        }
    }
    return object;
}

// Nothing is skipped by name, so a member called "length" survives; a top-level array walked
// here therefore also yields its "length".
QVariantMap MapFromScriptValue(const QScriptValue &Value, int Depth)
{
    QVariantMap map;
    QScriptValueIterator property(Value);
    while (property.hasNext()) {
        property.next();
        QVariant variant;
        if (VariantFromScriptValue(property.value(), Depth + 1, &variant))
            map.insert(property.name(), variant);
    }
    return map;
}

// A value that gives no variant is not appended, so later elements move forward.
QVariantList ListFromScriptValue(const QScriptValue &Value, int Depth)
{
    QVariantList list;
    QScriptValueIterator property(Value);
    while (property.hasNext()) {
        property.next();
        if (property.name() == QLatin1String("length"))
            continue;
        QVariant variant;
        if (VariantFromScriptValue(property.value(), Depth + 1, &variant))
            list.append(variant);
    }
    return list;
}

// Depth is the level the value has if it is an array or an object. Returns false when the
// value is left out: a boolean, undefined, or a container nested too deep.
bool VariantFromScriptValue(const QScriptValue &Value, int Depth, QVariant *Variant)
{
    const bool tooDeep = Depth > MaximumNestingDepth;
    if (Value.isArray()) {
        if (tooDeep)
            return false;
        *Variant = ListFromScriptValue(Value, Depth);
        return true;
    }
    if (Value.isNumber()) {
        *Variant = Value.toNumber();
        return true;
    }
    if (Value.isString()) {
        *Variant = Value.toString();
        return true;
    }
    if (Value.isNull()) {
        *Variant = QVariant();
        return true;
    }
    if (Value.isObject()) {
        if (tooDeep)
            return false;
        *Variant = MapFromScriptValue(Value, Depth);
        return true;
    }
    return false;
}

} // namespace
