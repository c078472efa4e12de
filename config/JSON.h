#pragma once

#include <QObject>
#include <QVariantList>
#include <QVariantMap>

class QScriptEngine;
class QScriptValue;

// Converts between JSON text and QVariantMap through Qt's script engine. The walkers' type
// rules are relied on by every caller: numbers come back as doubles, booleans are dropped
// from maps, and null becomes an invalid variant.
class JSON : public QObject
{
    Q_OBJECT

public:
    static QVariantMap Parse(const QString &Text);
    static QString Stringify(const QVariantMap &Map);

    static QScriptValue ScriptValueFromMap(const QVariantMap &Map, QScriptEngine *Engine);
    static QVariantMap MapFromScriptValue(const QScriptValue &Value);
    static QVariantList ListFromScriptValue(const QScriptValue &Value);

    // Values nested deeper than this are left out, so that no input can exhaust the stack.
    static constexpr int MaximumNestingDepth = 512;

private:
    JSON() = delete;

    // Depth is the nesting level of the container being walked: the value handed to a public
    // walker is level 1 and each array or object inside a level-n container is level n + 1.
    // A container of level MaximumNestingDepth + 1 is left out like a value of a dropped type;
    // values that are not containers are never left out for their depth.
    static QScriptValue ScriptValueFromMap(const QVariantMap &Map, QScriptEngine *Engine,
                                           int Depth);
    static QVariantMap MapFromScriptValue(const QScriptValue &Value, int Depth);
    static QVariantList ListFromScriptValue(const QScriptValue &Value, int Depth);
    static bool VariantFromScriptValue(const QScriptValue &Value, int Depth, QVariant *Variant);
};
