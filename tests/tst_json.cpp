#include "config/JSON.h"

#include "TestEnvironment.h"

#include <QObject>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>
#include <cmath>
#include <limits>

namespace {

// Spells out a variant with its exact type. QVariant's own comparison calls Int 1 and Double 1.0
// equal, but callers depend on parsed numbers being doubles.
QString typed(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return QStringLiteral("invalid");
    case QMetaType::Double:
        return QStringLiteral("double(%1)").arg(QString::number(value.toDouble(), 'g', 17));
    case QMetaType::QString:
        return QStringLiteral("string(\"%1\")").arg(value.toString());
    case QMetaType::QVariantList: {
        QStringList elements;
        for (const QVariant &element : value.toList())
            elements << typed(element);
        return QStringLiteral("list[%1]").arg(elements.join(QStringLiteral(", ")));
    }
    case QMetaType::QVariantMap: {
        QStringList members;
        const QVariantMap map = value.toMap();
        for (auto member = map.cbegin(); member != map.cend(); ++member)
            members << member.key() + QStringLiteral(": ") + typed(member.value());
        return QStringLiteral("map{%1}").arg(members.join(QStringLiteral(", ")));
    }
    default:
        return QStringLiteral("%1(%2)").arg(QLatin1String(value.typeName()), value.toString());
    }
}

QString typed(const QVariantMap &map)
{
    return typed(QVariant(map));
}

QString nestedArraysText(int arrays)
{
    return QStringLiteral("[").repeated(arrays) + QStringLiteral("7")
           + QStringLiteral("]").repeated(arrays);
}

QString nestedObjectsText(int objects)
{
    return QStringLiteral("{\"k\":").repeated(objects) + QStringLiteral("7")
           + QStringLiteral("}").repeated(objects);
}

// What the walkers give for `count` nested arrays (or objects with the member "k") around the
// number 7, when the outermost of them stands at nesting level `level`. Containers beyond the
// maximum depth are left out, so the deepest kept one is empty.
QVariant walkedNesting(bool arrays, int count, int level)
{
    const int innermost = level + count - 1;
    const int deepestKept = qMin(innermost, JSON::MaximumNestingDepth);
    const bool complete = innermost == deepestKept;
    QVariant value;
    if (arrays)
        value = complete ? QVariantList{7.0} : QVariantList();
    else
        value = complete ? QVariantMap{{QStringLiteral("k"), 7.0}} : QVariantMap();
    for (int nesting = deepestKept - 1; nesting >= level; --nesting) {
        if (arrays)
            value = QVariantList{value};
        else
            value = QVariantMap{{QStringLiteral("k"), value}};
    }
    return value;
}

// The deepest nesting that QtCore's JSON parser accepts.
constexpr int QtCoreParserNestingLimit = 1024;

// What a text nested beyond QtCoreParserNestingLimit reads as, given what the walkers make of
// it when it is parsed.
QVariantMap beyondParserLimit(const QVariantMap &walked)
{
#if QT_VERSION_MAJOR < 6
    return walked;
#else
    Q_UNUSED(walked);
    return QVariantMap();
#endif
}

// A chain of `count` maps under the key "k", the innermost holding Int 7: the map that
// nestedObjectsText() describes.
QVariantMap nestedMaps(int count)
{
    QVariantMap map{{QStringLiteral("k"), 7}};
    for (int nesting = 1; nesting < count; ++nesting)
        map = QVariantMap{{QStringLiteral("k"), map}};
    return map;
}

// The worked example as a map, in both directions.
const char *const WorkedExampleText =
    R"({"a":1,"b":"x","c":true,"d":null,"e":[1,"y",false,null,{"f":2}],"g":{"h":[]}})";

QVariantMap workedExampleParsed()
{
    return {{"a", 1.0},
            {"b", "x"},
            {"d", QVariant()},
            {"e", QVariantList{1.0, "y", QVariant(), QVariantMap{{"f", 2.0}}}},
            {"g", QVariantMap{{"h", QVariantList()}}}};
}

QVariantMap workedExampleMap()
{
    return {{"a", 1},
            {"b", "x"},
            {"c", true},
            {"d", 2.5},
            {"e", QVariantList{1, true, "s"}},
            {"f", QVariantMap()}};
}

// Every character that JSON must escape, a few that it need not, and text beyond the BMP.
QString awkwardText()
{
    QString text;
    for (ushort code = 0; code < 0x20; ++code)
        text += QChar(code);
    text += QStringLiteral("\"\\/ plain \u00e9\u20ac\u2028\u2029 ");
    text += QString::fromUtf8("\xF0\x9F\x98\x80");
    return text;
}

} // namespace

class tst_JSON : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void parseRejectsWhatIsNotJson_data();
    void parseRejectsWhatIsNotJson();
    void nestingDepth_data();
    void nestingDepth();
    void hugeString();
    void hugeArray();
    void stringify_data();
    void stringify();
    void stringifyHugeMap();
    void roundTrip_data();
    void roundTrip();
};

void tst_JSON::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVariantMap>("expected");

    QTest::newRow("worked example") << WorkedExampleText << workedExampleParsed();
    QTest::newRow("integer") << R"({"n":1})" << QVariantMap{{"n", 1.0}};
    QTest::newRow("fraction") << R"({"n":1.0})" << QVariantMap{{"n", 1.0}};
    QTest::newRow("exponent") << R"({"n":1e3})" << QVariantMap{{"n", 1000.0}};
    QTest::newRow("signed exponent") << R"({"n":-2.5E+2,"m":5e-1})"
                                     << QVariantMap{{"n", -250.0}, {"m", 0.5}};
    QTest::newRow("beyond int range") << R"({"n":12345678901234})"
                                      << QVariantMap{{"n", 12345678901234.0}};
    QTest::newRow("repeated member keeps last") << R"({"k":1,"k":"two"})"
                                                << QVariantMap{{"k", "two"}};
    QTest::newRow("member named length")
        << R"({"length":3,"x":"y","l":[{"length":"s"}]})"
        << QVariantMap{{"length", 3.0},
                       {"x", "y"},
                       {"l", QVariantList{QVariantMap{{"length", "s"}}}}};
    QTest::newRow("top-level array") << R"([1,"y",false,null])"
                                     << QVariantMap{{"0", 1.0}, {"1", "y"}, {"3", QVariant()},
                                                    {"length", 4.0}};
    QTest::newRow("booleans dropped everywhere")
        << R"({"t":true,"f":false,"l":[true,false],"m":{"b":true}})"
        << QVariantMap{{"l", QVariantList()}, {"m", QVariantMap()}};
    const QString smiley = QString::fromUtf8("\xF0\x9F\x98\x80");
    QTest::newRow("string escapes")
        << R"({"s":"q\" b\\ s\/ \b\f\n\r\t \u00e9\u20ac \ud83d\ude00"})"
        << QVariantMap{{"s", QStringLiteral("q\" b\\ s/ \b\f\n\r\t \u00e9\u20ac ") + smiley}};
    QTest::newRow("lone surrogates")
        << R"({"s":"\ud800 \udc00 \ude00\ud83d"})"
        << QVariantMap{{"s", QString(QChar(0xd800)) + ' ' + QChar(0xdc00) + ' ' + QChar(0xde00)
                                     + QChar(0xd83d)}};
    QTest::newRow("raw lone surrogate") << QStringLiteral("{\"s\":\"") + QChar(0xd800) + "\"}"
                                        << QVariantMap{{"s", QString(QChar(0xd800))}};
    QTest::newRow("raw non-ASCII") << QStringLiteral("{\"s\":\"\u00e9") + smiley + "\"}"
                                   << QVariantMap{{"s", QStringLiteral("\u00e9") + smiley}};
    QTest::newRow("empty object") << "{}" << QVariantMap();
    QTest::newRow("number at top level") << "5" << QVariantMap();
    QTest::newRow("string at top level") << R"("str")" << QVariantMap();
    QTest::newRow("null at top level") << "null" << QVariantMap();
    QTest::newRow("true at top level") << "true" << QVariantMap();
    QTest::newRow("final line break") << "{\"a\":1}\n" << QVariantMap{{"a", 1.0}};
    QTest::newRow("whitespace everywhere") << " \t\r\n{ \"a\" :\r\n[ 1 , 2 ]\t}\r\n "
                                           << QVariantMap{{"a", QVariantList{1.0, 2.0}}};
}

void tst_JSON::parse()
{
    QFETCH(QString, text);
    QFETCH(QVariantMap, expected);

    QCOMPARE(typed(JSON::Parse(text)), typed(expected));
}

// Text that is not strict JSON is never evaluated as a script: a text that would loop forever
// or compute a value when run returns at once without the key it would have produced.
void tst_JSON::parseRejectsWhatIsNotJson_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("key");

    QTest::newRow("single quotes") << R"({'a':1})" << "a";
    QTest::newRow("bare member name") << R"({a:1})" << "a";
    QTest::newRow("trailing comma") << R"({"a":1,})" << "a";
    QTest::newRow("trailing semicolon") << R"({"a":1};)" << "a";
    QTest::newRow("line comment") << R"({"a":1} // note)" << "a";
    QTest::newRow("block comment") << R"({"a":1 /* note */})" << "a";
    QTest::newRow("parenthesised") << R"(({"a":1}))" << "a";
    QTest::newRow("two objects") << R"({"a":1}{"b":2})" << "a";
    QTest::newRow("empty text") << "" << "a";
    QTest::newRow("only whitespace") << " \n" << "a";
    QTest::newRow("loop") << "while(true){}" << "a";
    QTest::newRow("object then loop") << R"({"a":1};while(true){})" << "a";
    QTest::newRow("call that loops") << R"({"a":(function(){while(true){}})()})" << "a";
    QTest::newRow("assignment") << R"({"a":this.injected=1})" << "a";
    QTest::newRow("concatenation") << R"({"a":"x"+"y"})" << "a";
    QTest::newRow("undefined") << R"({"a":undefined})" << "a";
    QTest::newRow("NaN") << R"({"a":NaN})" << "a";
    QTest::newRow("hexadecimal") << R"({"a":0x10})" << "a";
    QTest::newRow("unterminated object") << R"({"a":1)" << "a";
    QTest::newRow("unterminated string") << R"({"a":"x)" << "a";
    QTest::newRow("unterminated deep nesting")
        << R"({"a":1,"b":)" + QStringLiteral("[").repeated(1000000) << "a";
}

void tst_JSON::parseRejectsWhatIsNotJson()
{
    QFETCH(QString, text);
    QFETCH(QString, key);

    const QVariantMap result = JSON::Parse(text);
    QVERIFY2(!result.contains(key), qPrintable(typed(result)));
    // What a rejected text leaves: QtScript's parser gives its error object, whose one member
    // is the message; QtCore's gives nothing.
#if QT_VERSION_MAJOR < 6
    QCOMPARE(result.keys(), QStringList{QStringLiteral("message")});
#else
    QCOMPARE(typed(result), typed(QVariantMap()));
#endif
}

// Levels count containers from the outside: the parsed top-level value is level 1.
void tst_JSON::nestingDepth_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVariantMap>("expected");

    const int deepest = JSON::MaximumNestingDepth;
    for (int arrays : {deepest, deepest + 1}) {
        const QByteArray row = QByteArray::number(arrays) + " arrays";
        QTest::newRow(row.constData())
            << nestedArraysText(arrays)
            << QVariantMap{{"0", walkedNesting(true, arrays - 1, 2)}, {"length", 1.0}};
    }
    for (int objects : {deepest, deepest + 1}) {
        const QByteArray row = QByteArray::number(objects) + " objects";
        QTest::newRow(row.constData())
            << nestedObjectsText(objects) << walkedNesting(false, objects, 1).toMap();
    }
    // Up to the parser's own limit both builds read the text and leave out what lies beyond
    // the bound. Beyond it, QtCore's parser (Qt 6 build) rejects the whole text, while
    // QtScript's parser (Qt 5 build) takes any depth.
    for (int count : {QtCoreParserNestingLimit - 1, QtCoreParserNestingLimit, 100000, 1000000}) {
        for (bool arrays : {true, false}) {
            const QByteArray row = QByteArray::number(count)
                                   + (arrays ? " arrays in a member" : " objects in a member");
            const QString nested = arrays ? nestedArraysText(count) : nestedObjectsText(count);
            const QVariantMap walked{{"a", 1.0}, {"deep", walkedNesting(arrays, count, 2)},
                                     {"z", "end"}};
            QTest::newRow(row.constData())
                << R"({"a":1,"deep":)" + nested + R"(,"z":"end"})"
                << (count + 1 > QtCoreParserNestingLimit ? beyondParserLimit(walked) : walked);
        }
    }
    QTest::newRow("1000000 arrays in a list")
        << R"({"l":[1,)" + nestedArraysText(1000000) + R"(,2]})"
        << beyondParserLimit(
               QVariantMap{{"l", QVariantList{1.0, walkedNesting(true, 1000000, 3), 2.0}}});
}

void tst_JSON::nestingDepth()
{
    QFETCH(QString, text);
    QFETCH(QVariantMap, expected);

    QCOMPARE(typed(JSON::Parse(text)), typed(expected));
}

void tst_JSON::hugeString()
{
    const QString chunk = QStringLiteral("abc\u00e9\"\n");
    const QString escapedChunk = QStringLiteral("abc\u00e9\\\"\\n");
    const int chunks = 1 << 20;
    const QString text = QStringLiteral("{\"s\":\"") + escapedChunk.repeated(chunks)
                         + QStringLiteral("\",\"z\":1}");

    const QVariantMap result = JSON::Parse(text);
    QCOMPARE(result.value(QStringLiteral("s")).userType(), int(QMetaType::QString));
    QVERIFY(result.value(QStringLiteral("s")).toString() == chunk.repeated(chunks));
    QCOMPARE(typed(result.value(QStringLiteral("z"))), typed(1.0));
}

void tst_JSON::hugeArray()
{
    const int count = 300000;
    QStringList numbers;
    for (int index = 0; index < count; ++index)
        numbers << QString::number(index);
    const QString text = QStringLiteral("{\"a\":[") + numbers.join(QLatin1Char(','))
                         + QStringLiteral("]}");

    const QVariantList list = JSON::Parse(text).value(QStringLiteral("a")).toList();
    QCOMPARE(list.size(), count);
    for (int index = 0; index < count; ++index) {
        if (list.at(index).userType() != QMetaType::Double || list.at(index) != double(index))
            QFAIL(qPrintable(QStringLiteral("element %1 is %2").arg(index).arg(
                typed(list.at(index)))));
    }
}

void tst_JSON::stringify_data()
{
    QTest::addColumn<QVariantMap>("map");
    QTest::addColumn<QString>("expected");

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const QVariantMap dropped{{"bool", true},
                              {"uint", 5u},
                              {"longlong", 5ll},
                              {"ulonglong", 5ull},
                              {"stringlist", QStringList{"x"}},
                              {"bytearray", QByteArray("x")},
                              {"char", QChar('x')},
                              {"invalid", QVariant()},
                              {"kept", "k"}};

    QTest::newRow("worked example") << workedExampleMap()
                                    << R"({"a":1,"b":"x","d":2.5,"e":[1,true,"s"],"f":{}})";
    QTest::newRow("empty map") << QVariantMap() << "{}";
    QTest::newRow("dropped types at top level") << dropped << R"({"kept":"k"})";
    QTest::newRow("dropped types nested") << QVariantMap{{"m", QVariantMap{{"n", dropped}}}}
                                          << R"({"m":{"n":{"kept":"k"}}})";
    QTest::newRow("code-unit key order") << QVariantMap{{"b", 1}, {"B", 2}, {"a", 3}}
                                         << R"({"B":2,"a":3,"b":1})";
    QTest::newRow("escapes") << QVariantMap{{"s", "line\nquote\" back\\ tab\t \x01"}}
                             << R"({"s":"line\nquote\" back\\ tab\t \u0001"})";
    QTest::newRow("non-ASCII written raw")
        << QVariantMap{{"s", QString::fromUtf8("\u00e9\u20ac\xF0\x9F\x98\x80")}}
        << QString::fromUtf8("{\"s\":\"\u00e9\u20ac\xF0\x9F\x98\x80\"}");
    QTest::newRow("numbers") << QVariantMap{{"i", -7}, {"j", 2147483647}, {"d", 3.0},
                                            {"e", 0.1}, {"f", 1e21}}
                             << R"({"d":3,"e":0.1,"f":1e+21,"i":-7,"j":2147483647})";
    // ECMAScript's forms: plain from 1e-6 up to 1e21, exponents outside, the shortest digits
    // that read back as the same number.
    QTest::newRow("number forms")
        << QVariantMap{{"a", 1e-7}, {"b", 1e-6}, {"c", 0.000001234}, {"d", 123456789012345680000.0},
                       {"e", 1.5e300}, {"f", -0.0}, {"g", 5e-324}, {"h", 1.7976931348623157e308},
                       {"i", -1.25e-10}, {"j", 100.0}, {"k", 0.30000000000000004}, {"l", 1e20}}
        << R"({"a":1e-7,"b":0.000001,"c":0.000001234,"d":123456789012345680000,"e":1.5e+300,)"
           R"("f":0,"g":5e-324,"h":1.7976931348623157e+308,"i":-1.25e-10,"j":100,)"
           R"("k":0.30000000000000004,"l":100000000000000000000})";
    QTest::newRow("lone surrogate written raw")
        << QVariantMap{{"s", QString(QChar(0xdc00)) + 'x'}}
        << QStringLiteral("{\"s\":\"") + QChar(0xdc00) + QStringLiteral("x\"}");
    QTest::newRow("control characters and DEL")
        << QVariantMap{{"s", QStringLiteral("\x1f\x7f\u0080\u2028")}}
        << QStringLiteral("{\"s\":\"\\u001f\x7f\u0080\u2028\"}");
    QTest::newRow("non-finite numbers") << QVariantMap{{"n", nan}, {"p", infinity},
                                                       {"m", -infinity}}
                                        << R"({"m":null,"n":null,"p":null})";
    QTest::newRow("invalid variant in a list")
        << QVariantMap{{"l", QVariantList{1, QVariant(), "s"}}} << R"({"l":[1,null,"s"]})";
    QTest::newRow("list elements keep other types")
        << QVariantMap{{"l", QVariantList{5u, 5ll, QStringList{"x", "y"}, QVariantList{false},
                                          QVariantMap{{"b", true}, {"u", 5u}}}}}
        << R"({"l":[5,5,["x","y"],[false],{"b":true,"u":5}]})";
    QTest::newRow("empty list") << QVariantMap{{"l", QVariantList()}} << R"({"l":[]})";

    const int deepest = JSON::MaximumNestingDepth;
    const QString opening = QStringLiteral("{\"k\":").repeated(deepest - 1);
    const QString closing = QStringLiteral("}").repeated(deepest - 1);
    QTest::newRow("512 nested maps") << nestedMaps(deepest)
                                     << opening + R"({"k":7})" + closing;
    QTest::newRow("513 nested maps") << nestedMaps(deepest + 1) << opening + "{}" + closing;
}

void tst_JSON::stringify()
{
    QFETCH(QVariantMap, map);
    QFETCH(QString, expected);

    QCOMPARE(JSON::Stringify(map), expected);
}

void tst_JSON::stringifyHugeMap()
{
    const int count = 300000;
    QVariantList numbers;
    QStringList written;
    for (int index = 0; index < count; ++index) {
        numbers << index;
        written << QString::number(index);
    }
    const QString text = QStringLiteral("a\"\n").repeated(1 << 20);
    const QVariantMap map{{"l", numbers}, {"s", text}};

    const QString expected = QStringLiteral("{\"l\":[") + written.join(QLatin1Char(','))
                             + QStringLiteral("],\"s\":\"")
                             + QStringLiteral("a\\\"\\n").repeated(1 << 20)
                             + QStringLiteral("\"}");
    QVERIFY(JSON::Stringify(map) == expected);
}

// Printing and parsing again keeps what callers rely on and loses what they must not.
void tst_JSON::roundTrip_data()
{
    QTest::addColumn<QVariantMap>("map");
    QTest::addColumn<QVariantMap>("expected");

    QTest::newRow("worked example")
        << workedExampleMap()
        << QVariantMap{{"a", 1.0}, {"b", "x"}, {"d", 2.5}, {"e", QVariantList{1.0, "s"}},
                       {"f", QVariantMap()}};
    QTest::newRow("ints become doubles") << QVariantMap{{"i", -3}, {"j", 2147483647}}
                                         << QVariantMap{{"i", -3.0}, {"j", 2147483647.0}};
    QTest::newRow("awkward text") << QVariantMap{{awkwardText(), awkwardText()}}
                                  << QVariantMap{{awkwardText(), awkwardText()}};
    QTest::newRow("lone surrogates") << QVariantMap{{"s", QString(QChar(0xdc00)) + QChar(0xd800)}}
                                     << QVariantMap{{"s", QString(QChar(0xdc00)) + QChar(0xd800)}};
    QTest::newRow("null in a list") << QVariantMap{{"l", QVariantList{QVariant(), "x"}}}
                                    << QVariantMap{{"l", QVariantList{QVariant(), "x"}}};
    QTest::newRow("map in a list") << QVariantMap{{"l", QVariantList{QVariantMap{{"i", 1},
                                                                                 {"b", true}}}}}
                                   << QVariantMap{{"l", QVariantList{QVariantMap{{"i", 1.0}}}}};
    QTest::newRow("member named length") << QVariantMap{{"length", 2}, {"m", QVariantMap()}}
                                         << QVariantMap{{"length", 2.0}, {"m", QVariantMap()}};
    QTest::newRow("512 nested maps") << nestedMaps(JSON::MaximumNestingDepth)
                                     << walkedNesting(false, JSON::MaximumNestingDepth, 1).toMap();
}

void tst_JSON::roundTrip()
{
    QFETCH(QVariantMap, map);
    QFETCH(QVariantMap, expected);

    QCOMPARE(typed(JSON::Parse(JSON::Stringify(map))), typed(expected));
}

KELVANE_TEST_MAIN(tst_JSON)
#include "tst_json.moc"
