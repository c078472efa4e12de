#pragma once

#include <QObject>
#include <QVariantMap>

// Converts between JSON text and QVariantMap. The type rules are relied on by every caller:
// numbers come back as doubles, booleans are dropped from maps, and null becomes an invalid
// variant. A text that is not a JSON object gives a map without the expected keys (a top-level
// array gives its elements under "0", "1", ... and its "length").
//
// The Qt 5 build reads and writes through QtScript's JSON object (JSONScript.cpp), the Qt 6
// build through QtCore's JSON classes (JSONCore.cpp); both give the same maps and texts.
class JSON : public QObject
{
    Q_OBJECT

public:
    static QVariantMap Parse(const QString &Text);
    static QString Stringify(const QVariantMap &Map);

    // Containers nested deeper than this are left out, so that no input can exhaust the stack.
    // The value handed to a walker is level 1 and each array or object inside a level-n
    // container is level n + 1; a container of level MaximumNestingDepth + 1 is left out like a
    // value of a dropped type. Values that are not containers are never left out for their
    // depth.
    static constexpr int MaximumNestingDepth = 512;

private:
    JSON() = delete;
};
