// tst_linecutter.cpp - cutting stdin and the pipe into lines: line ends, the size limit, skipping
#include "io/linecutter.h"

#include <QByteArrayList>
#include <QTest>

using namespace ves::mcp;

namespace {

constexpr qint64 smallLimit = 16;

// Feeds each chunk in turn and records the lines handed over and, per feed, whether it reported
// a rejection ('1') or not ('0').
struct Cutting
{
    QByteArrayList lines;
    QString rejections;
};

Cutting cut(LineCutter &cutter, const QByteArrayList &feeds)
{
    Cutting result;
    for (const QByteArray &chunk : feeds) {
        const bool tooLong = cutter.feed(chunk.constData(), chunk.size(), [&](const QByteArray &l) {
            result.lines.append(QByteArray(l.constData(), l.size()));
            return true;
        });
        result.rejections.append(tooLong ? QLatin1Char('1') : QLatin1Char('0'));
    }
    return result;
}

QByteArray xs(int n, char c = 'x')
{
    return QByteArray(n, c);
}

} // namespace

class TestLineCutter : public QObject
{
    Q_OBJECT

private slots:
    void cutting_data();
    void cutting();
    void restIsEmptiedAndSkippingEnds();
    void stoppingKeepsTheRest();
    void clearForgetsWhatWasHeld();
    void handlerThatClearsAndStops();
    void realLimit();
};

void TestLineCutter::cutting_data()
{
    QTest::addColumn<QByteArrayList>("feeds");
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QString>("rejections"); // per feed: 1 = reported a line too long
    QTest::addColumn<QByteArray>("rest");

    const QByteArray limitLine = "0123456789abcdef"; // exactly 16 bytes
    QCOMPARE(limitLine.size(), smallLimit);

    QTest::newRow("abc CR LF hands over abc")
            << QByteArrayList{"abc\r\n"} << QByteArrayList{"abc"} << "0" << QByteArray();
    QTest::newRow("abc CR CR LF hands over abc and one CR")
            << QByteArrayList{"abc\r\r\n"} << QByteArrayList{"abc\r"} << "0" << QByteArray();
    QTest::newRow("a lone CR does not end a line")
            << QByteArrayList{"abc\rdef\n"} << QByteArrayList{"abc\rdef"} << "0" << QByteArray();
    QTest::newRow("a CR LF split over two feeds is one line end")
            << QByteArrayList{"abc\r", "\n"} << QByteArrayList{"abc"} << "00" << QByteArray();
    QTest::newRow("empty lines LF and CR LF are skipped")
            << QByteArrayList{"\n\r\n\n", "\r\n"} << QByteArrayList{} << "00" << QByteArray();
    QTest::newRow("a line over several feeds is handed over once when its LF arrives")
            << QByteArrayList{"ab", "cd", "", "ef\n"} << QByteArrayList{"abcdef"} << "0000"
            << QByteArray();
    QTest::newRow("several lines in one feed are handed over in order")
            << QByteArrayList{"a\nb\r\n\nc\nd"} << QByteArrayList{"a", "b", "c"} << "0"
            << QByteArray("d");
    QTest::newRow("a line of exactly the limit is handed over")
            << QByteArrayList{limitLine + "\n"} << QByteArrayList{limitLine} << "0" << QByteArray();
    QTest::newRow("a line of exactly the limit held before its LF is handed over")
            << QByteArrayList{limitLine, "\n"} << QByteArrayList{limitLine} << "00" << QByteArray();
    QTest::newRow("a line of the limit with CR LF in one feed is handed over")
            << QByteArrayList{limitLine + "\r\n"} << QByteArrayList{limitLine} << "0"
            << QByteArray();
    QTest::newRow("a line of the limit plus one completed in the same feed is rejected once")
            << QByteArrayList{limitLine + "g\nnext\n"} << QByteArrayList{"next"} << "1"
            << QByteArray();
    QTest::newRow("more than the limit held without LF is dropped up to the next LF")
            << QByteArrayList{limitLine + "g", "tail", "more\nnext\n"} << QByteArrayList{"next"}
            << "100" << QByteArray();
    QTest::newRow("a CR waiting for its LF counts toward the limit")
            << QByteArrayList{limitLine + "\r", "\nnext\n"} << QByteArrayList{"next"} << "10"
            << QByteArray();
    QTest::newRow("a line of more than twice the limit gives a second rejection")
            << QByteArrayList{xs(17), xs(10), xs(10), "\nok\n"} << QByteArrayList{"ok"} << "1010"
            << QByteArray();
    QTest::newRow("a long run in one feed gives one rejection for that feed")
            << QByteArrayList{xs(40), "\nok\n"} << QByteArrayList{"ok"} << "10" << QByteArray();
    QTest::newRow("a too long line and an overlong remainder in one feed give one rejection")
            << QByteArrayList{xs(17) + "\nfine\n" + xs(17), "y\nok\n"}
            << QByteArrayList{"fine", "ok"} << "10" << QByteArray();
    QTest::newRow("the limit held without LF is kept")
            << QByteArrayList{limitLine} << QByteArrayList{} << "0" << limitLine;
    QTest::newRow("NUL, invalid UTF-8 and a byte-order mark pass through unchanged")
            << QByteArrayList{QByteArray("\xEF\xBB\xBF{}\0\xFF\xC3(\n", 10)}
            << QByteArrayList{QByteArray("\xEF\xBB\xBF{}\0\xFF\xC3(", 9)} << "0" << QByteArray();
    QTest::newRow("the rest loses one trailing CR")
            << QByteArrayList{"a\nabc\r"} << QByteArrayList{"a"} << "0" << QByteArray("abc");
    QTest::newRow("the rest loses only one of two trailing CRs")
            << QByteArrayList{"abc\r\r"} << QByteArrayList{} << "0" << QByteArray("abc\r");
    QTest::newRow("the rest is not trimmed")
            << QByteArrayList{"ok\n  "} << QByteArrayList{"ok"} << "0" << QByteArray("  ");
    QTest::newRow("the rest of a rejected line is nothing")
            << QByteArrayList{"ok\n" + xs(17), "more"} << QByteArrayList{"ok"} << "10"
            << QByteArray();
}

void TestLineCutter::cutting()
{
    QFETCH(QByteArrayList, feeds);
    QFETCH(QByteArrayList, lines);
    QFETCH(QString, rejections);
    QFETCH(QByteArray, rest);

    LineCutter cutter(smallLimit);
    QCOMPARE(cutter.limit(), smallLimit);
    const Cutting result = cut(cutter, feeds);
    QCOMPARE(result.lines, lines);
    QCOMPARE(result.rejections, rejections);
    QCOMPARE(cutter.takeRest(), rest);
}

void TestLineCutter::restIsEmptiedAndSkippingEnds()
{
    LineCutter cutter(smallLimit);
    cut(cutter, {"abc"});
    QCOMPARE(cutter.takeRest(), QByteArray("abc"));
    QCOMPARE(cutter.takeRest(), QByteArray());

    // takeRest while skipping leaves a cutter that hands over the next line normally.
    QCOMPARE(cut(cutter, {xs(20)}).rejections, QStringLiteral("1"));
    QCOMPARE(cutter.takeRest(), QByteArray());
    const Cutting after = cut(cutter, {"ok\n"});
    QCOMPARE(after.lines, QByteArrayList{"ok"});
    QCOMPARE(after.rejections, QStringLiteral("0"));
}

void TestLineCutter::stoppingKeepsTheRest()
{
    LineCutter cutter(smallLimit);
    QByteArrayList seen;
    int allowed = 1;
    const auto handler = [&](const QByteArray &line) {
        seen.append(QByteArray(line.constData(), line.size()));
        return --allowed > 0;
    };
    const QByteArray first = xs(17) + "\na\nb\nc\n";
    // The rejection of the line before the stop is still reported.
    QVERIFY(cutter.feed(first.constData(), first.size(), handler));
    QCOMPARE(seen, QByteArrayList{"a"});

    allowed = 100;
    const QByteArray second = "d\n";
    QVERIFY(!cutter.feed(second.constData(), second.size(), handler));
    QCOMPARE(seen, (QByteArrayList{"a", "b", "c", "d"}));
}

void TestLineCutter::clearForgetsWhatWasHeld()
{
    LineCutter cutter(smallLimit);
    QByteArrayList seen;
    const QByteArray first = "a\nb\npartial";
    cutter.feed(first.constData(), first.size(), [&](const QByteArray &line) {
        seen.append(QByteArray(line.constData(), line.size()));
        return false;
    });
    QCOMPARE(seen, QByteArrayList{"a"});
    cutter.clear();
    QCOMPARE(cut(cutter, {"c\n"}).lines, QByteArrayList{"c"});
    QCOMPARE(cutter.takeRest(), QByteArray());

    // clear() also ends skipping.
    cut(cutter, {xs(17)});
    cutter.clear();
    QCOMPARE(cut(cutter, {"next\n"}).lines, QByteArrayList{"next"});
}

void TestLineCutter::handlerThatClearsAndStops()
{
    // The pipe's reader clears the cutter from inside the handler when the connection closes.
    LineCutter cutter(smallLimit);
    QByteArrayList seen;
    const QByteArray first = "a\nb\nc\n";
    cutter.feed(first.constData(), first.size(), [&](const QByteArray &line) {
        seen.append(QByteArray(line.constData(), line.size()));
        cutter.clear();
        return false;
    });
    QCOMPARE(seen, QByteArrayList{"a"});
    const Cutting after = cut(cutter, {"new\n"});
    QCOMPARE(after.lines, QByteArrayList{"new"});
    QCOMPARE(cutter.takeRest(), QByteArray());
}

void TestLineCutter::realLimit()
{
    LineCutter defaults;
    const qint64 limit = defaults.limit();
    QCOMPARE(limit, qint64(268435456));

    QByteArray big(limit + 2, 'x');
    big[0] = 'A';
    big[limit - 1] = 'Z';
    big[limit] = '\n';
    {
        LineCutter cutter;
        qint64 size = -1;
        int count = 0;
        QByteArray ends;
        const bool tooLong = cutter.feed(big.constData(), limit + 1, [&](const QByteArray &line) {
            size = line.size();
            ++count;
            ends = QByteArray(1, line.front()) + line.back();
            return true;
        });
        QVERIFY(!tooLong);
        QCOMPARE(count, 1);
        QCOMPARE(size, limit);
        QCOMPARE(ends, QByteArray("AZ"));
    }
    big[limit] = 'x';
    big[limit + 1] = '\n';
    {
        LineCutter cutter;
        int count = 0;
        const bool tooLong = cutter.feed(big.constData(), big.size(), [&](const QByteArray &) {
            ++count;
            return true;
        });
        QVERIFY(tooLong);
        QCOMPARE(count, 0);
        QCOMPARE(cutter.takeRest(), QByteArray());
    }
}

QTEST_GUILESS_MAIN(TestLineCutter)
#include "tst_linecutter.moc"
