// tst_units.cpp - the parts without a peer: options from the environment and the command line,
// the account's pipe name, the line cutter of stdin and the pipe, and the canonical JSON scan
#include "support.h"

#include "io/linecutter.h"
#include "mcp/canonicaljson.h"

#include <cstdlib>
#include <random>

using namespace ves::mcp;
using namespace ves::mcp::testing;

namespace {

// The registers this processor can read lists of numbers with: each is tried, and the widest
// chosen again afterwards.
QList<CanonicalJson::Vectors> vectorWidths()
{
    QList<CanonicalJson::Vectors> widths;
    for (const auto width : {CanonicalJson::Vectors::Bits128,
                             CanonicalJson::Vectors::Bits256,
                             CanonicalJson::Vectors::Bits512}) {
        if (CanonicalJson::useVectors(width))
            widths.append(width);
    }
    CanonicalJson::useVectors(CanonicalJson::Vectors::Widest);
    return widths;
}

// Sets the variables for one row ("NAME=value"), with every other one the program reads unset.
void setEnvironment(const QStringList &variables)
{
    for (const char *name :
         {"USERNAME", "USER", "LOGNAME", "VESK_MCP_PIPE", "VESK_MCP_TIMEOUT", "VESK_MCP_VERBOSE"})
        qunsetenv(name);
    for (const QString &v : variables) {
        const QString name = v.section(QLatin1Char('='), 0, 0),
                      value = v.section(QLatin1Char('='), 1);
#ifdef Q_OS_WIN // the environment is UTF-16 there, and the program reads it so
        _wputenv_s(reinterpret_cast<const wchar_t *>(name.utf16()),
                   reinterpret_cast<const wchar_t *>(value.utf16()));
#else
        qputenv(name.toLatin1(), value.toUtf8());
#endif
    }
}

} // namespace

class TestUnits : public QObject
{
    Q_OBJECT

private slots:
    void options_data();
    void options();
    void pipeName_data();
    void pipeName();
    void cutting_data();
    void cutting();
    void numbers_data();
    void numbers();
    void numberLists();
    void scanBound();
};

void TestUnits::options_data()
{
    QTest::addColumn<QString>("variables"); // ;-separated
    QTest::addColumn<QString>("arguments"); // |-separated
    QTest::addColumn<QString>("outcome");   // run, help, version, pipe, or the option in error
    QTest::addColumn<QString>("changes");   // what differs from the start values afterwards
    const auto row = [](const char *sentence,
                        const char *variables,
                        const char *arguments,
                        const char *outcome,
                        const char *changes) {
        QTest::newRow(sentence) << QString::fromUtf8(variables) << QString::fromUtf8(arguments)
                                << QString::fromUtf8(outcome) << QString::fromUtf8(changes);
    };
    row("nothing set leaves the start values", "", "", "run", "");
    row("a timeout of a day is accepted, truncated to ms",
        "",
        "--timeout|86400",
        "run",
        "t86400000");
    row("a timeout of 1.9999 s is 1999 ms, in exponent form too",
        "",
        "--timeout|1.9999e0",
        "run",
        "t1999");
    for (const char *value : {"86400.5", "0", "-5", "abc", "", "inf", "nan"})
        QTest::addRow("a timeout of '%s' is an invalid value", value)
                << QString() << QStringLiteral("--timeout|") + value << "--timeout"
                << "";
    row("a timeout without its value is an invalid value", "", "--timeout", "--timeout", "");
    row("the largest 32-bit poll interval is accepted, and 0",
        "",
        "--poll-ms|0|--poll-ms|2147483647",
        "run",
        "p2147483647");
    for (const char *value : {"1.5", "-1", "2147483648", "0x10", ""})
        QTest::addRow("a poll interval of '%s' is an invalid value", value)
                << QString() << QStringLiteral("--poll-ms|") + value << "--poll-ms"
                << "";
    row("a pipe name is trimmed, and blank is an invalid value",
        "",
        "--pipe| a |--pipe|  ",
        "--pipe",
        "'a'");
    row("the pipe option takes the next argument whatever it looks like",
        "",
        "--pipe|--verbose",
        "run",
        "'--verbose'");
    row("options left of an error are applied and the error ends the line",
        "",
        "--timeout|5|--poll-ms|x|--pipe|late",
        "--poll-ms",
        "t5000");
    row("an unknown option before help is an error", "", "--bogus|--help", "--bogus", "");
    row("help before an error prints the help, and /? is help", "", "/?|--timeout|abc", "help", "");
    row("options left of version are applied", "", "--verbose|-v|--timeout|abc", "version", "v");
    row("--version and -h are the long and short forms", "", "--version", "version", "");
    row("print-pipe-name ends the line", "", "--pipe|x|--print-pipe-name|--pipe", "pipe", "'x'");
    for (const char *argument : {"--HELP", "-V", "--pipe=x", "run", "--", "Nguyễn"})
        QTest::addRow("the argument '%s' is an unknown option", argument)
                << QString() << QString::fromUtf8(argument) << QString::fromUtf8(argument) << "";
    row("the command line overrides the variables",
        "VESK_MCP_TIMEOUT=30;VESK_MCP_PIPE=e",
        "--timeout|10|--pipe|l",
        "run",
        "t10000 'l'");
    row("the timeout variable has no upper bound of a day, and is truncated",
        "VESK_MCP_TIMEOUT=100000.0009",
        "",
        "run",
        "t100000000");
    for (const char *value : {"abc", "0", "-5", "", "nan", "30s"})
        QTest::addRow("a timeout variable of '%s' is ignored", value)
                << QStringLiteral("VESK_MCP_TIMEOUT=") + value << QString() << "run"
                << "";
    row("a timeout variable beyond an int is capped",
        "VESK_MCP_TIMEOUT=1e300",
        "",
        "run",
        "t2147483647");
    row("verbose variable 1 turns verbose on", "VESK_MCP_VERBOSE=1", "", "run", "v");
    for (const char *value : {"true", "01", " 1", "0"})
        QTest::addRow("verbose variable '%s' leaves verbose off", value)
                << QStringLiteral("VESK_MCP_VERBOSE=") + value << QString() << "run"
                << "";
    row("the pipe variable is taken without trimming", "VESK_MCP_PIPE= a ", "", "run", "' a '");
}

void TestUnits::options()
{
    QFETCH(QString, variables);
    QFETCH(QString, arguments);
    QFETCH(QString, outcome);
    QFETCH(QString, changes);
    setEnvironment(variables.split(QLatin1Char(';'), Qt::SkipEmptyParts));
    ServerOptions o;
    applyEnvironment(o);
    const CommandLine command
            = applyCommandLine(o, arguments.isEmpty() ? QStringList() : arguments.split('|'));
    const char *const actions[] = {"run", "help", "version", "pipe", "error"};
    QString got = QString::fromLatin1(actions[command.action]);
    if (command.action == CommandLine::Error) // the option named in the message
        got = command.error.contains(QLatin1Char('"'))
                      ? command.error.section(QLatin1Char('"'), 1, 1)
                      : command.error.section(QLatin1Char(' '), 4, 4);
    QCOMPARE(got, outcome);
    QStringList differs;
    if (o.callTimeoutMs != defaultCallTimeoutMs)
        differs << QStringLiteral("t%1").arg(o.callTimeoutMs);
    if (o.pollMs != 2000)
        differs << QStringLiteral("p%1").arg(o.pollMs);
    if (o.verbose)
        differs << QStringLiteral("v");
    if (!o.pipeName.isEmpty())
        differs << QLatin1Char('\'') + o.pipeName + QLatin1Char('\'');
    QCOMPARE(differs.join(QLatin1Char(' ')), changes);
    QCOMPARE(o.connectTimeoutMs, 5000);
}

void TestUnits::pipeName_data()
{
    QTest::addColumn<QString>("variables");
    QTest::addColumn<QString>("name"); // after vesk-studio-mcp-
    const auto row = [](const char *sentence, const char *variables, const QString &name) {
        QTest::newRow(sentence) << QString::fromUtf8(variables) << name;
    };
    const QString digits = QStringLiteral("0123456789").repeated(10);
    row("the user name keeps its letter case", "USERNAME=Alice", "Alice");
    row("spaces, dots, backslashes, at signs and Vietnamese letters become underscores",
        "USERNAME=Nguyễn V.A\\x@y",
        "Nguy_n_V_A_x_y");
    row("hyphens, underscores and digits are kept, the name trimmed",
        "USERNAME=\t a-b_c9 ",
        "a-b_c9");
    row("a blank USERNAME falls to USER, then to LOGNAME", "USERNAME= ;USER=;LOGNAME=carl", "carl");
    row("USER comes before LOGNAME", "USER=bob;LOGNAME=carl", "bob");
    row("no variable at all gives user", "", "user");
    row("a name of 100 characters is cut to 64", qPrintable("USERNAME=" + digits), digits.left(64));
    row("a character outside the BMP gives two underscores, counted in the cut",
        qPrintable("USERNAME=\xF0\x9F\x98\x80" + QString(70, 'k')),
        "__" + QString(62, 'k'));
}

void TestUnits::pipeName()
{
    QFETCH(QString, variables);
    QFETCH(QString, name);
    setEnvironment(variables.split(QLatin1Char(';'), Qt::SkipEmptyParts));
    QCOMPARE(defaultPipeName(), "vesk-studio-mcp-" + name);
}

void TestUnits::cutting_data()
{
    QTest::addColumn<QByteArrayList>("feeds"); // with a limit of 16 bytes
    QTest::addColumn<QByteArrayList>("lines");
    QTest::addColumn<QString>("rejections"); // per feed: 1 = reported a line too long
    QTest::addColumn<QByteArray>("rest");
    const QByteArray limit = "0123456789abcdef", x17(17, 'x');
    const auto row = [](const char *sentence,
                        const QByteArrayList &feeds,
                        const QByteArrayList &lines,
                        const char *rejections,
                        const char *rest) {
        QTest::newRow(sentence) << feeds << lines << QString::fromLatin1(rejections)
                                << QByteArray(rest);
    };
    row("CR LF ends a line, a lone CR does not",
        {"abc\r\n", "d\re\r\r\n"},
        {"abc", "d\re\r"},
        "00",
        "");
    row("a CR LF split over two feeds is one line end", {"abc\r", "\n"}, {"abc"}, "00", "");
    row("empty lines are skipped", {"\n\r\n\n", "\r\n"}, {}, "00", "");
    row("a line over several feeds is handed over once", {"ab", "", "cd\n"}, {"abcd"}, "000", "");
    row("several lines in one feed come in order", {"a\nb\r\n\nc\nd"}, {"a", "b", "c"}, "0", "d");
    row("a line of exactly the limit is handed over",
        {limit + "\r\n", limit, "\n"},
        {limit, limit},
        "000",
        "");
    row("a line of the limit plus one is rejected once", {limit + "g\nnext\n"}, {"next"}, "1", "");
    row("more than the limit without LF is dropped up to the next LF",
        {limit + "g", "tail", "more\nnext\n"},
        {"next"},
        "100",
        "");
    row("a CR waiting for its LF counts toward the limit",
        {limit + "\r", "\nok\n"},
        {"ok"},
        "10",
        "");
    row("a line of more than twice the limit gives one rejection",
        {x17, QByteArray(10, 'x'), QByteArray(10, 'x'), "\nok\n" + x17, "\n"},
        {"ok"},
        "10010",
        "");
    row("a too long line and an overlong rest in one feed give one rejection",
        {x17 + "\nfine\n" + x17, "y\nok\n"},
        {"fine", "ok"},
        "10",
        "");
    row("the limit held without LF is kept", {limit}, {}, "0", "0123456789abcdef");
    row("NUL, invalid UTF-8 and a byte-order mark pass unchanged",
        {QByteArray("\xEF\xBB\xBF\0\xFF\n", 6)},
        {QByteArray("\xEF\xBB\xBF\0\xFF", 5)},
        "0",
        "");
    row("the rest loses one trailing CR and is not trimmed", {"a\n abc\r\r"}, {"a"}, "0", " abc\r");
    row("the rest of a rejected line is nothing", {"ok\n" + x17, "more"}, {"ok"}, "10", "");
}

void TestUnits::cutting()
{
    QFETCH(QByteArrayList, feeds);
    QFETCH(QByteArrayList, lines);
    QFETCH(QString, rejections);
    QFETCH(QByteArray, rest);
    LineCutter cutter(16);
    QByteArrayList got;
    QString rejected;
    for (const QByteArray &chunk : feeds)
        rejected += cutter.feed(chunk.constData(),
                                chunk.size(),
                                [&](const QByteArray &line) {
                                    got.append(QByteArray(line.constData(), line.size()));
                                    return true;
                                })
                            ? '1'
                            : '0';
    QCOMPARE(got, lines);
    QCOMPARE(rejected, rejections);
    QCOMPARE(cutter.takeRest(), rest);
    QCOMPARE(cutter.takeRest(), QByteArray()); // emptied, and no longer skipping
    QVERIFY(!cutter.feed("z\n", 2, [&](const QByteArray &l) {
        return got.append(QByteArray(l.data(), 1)), true;
    }));
    QCOMPARE(got.last(), QByteArray("z"));
}

// Every form of a number is written as QJsonDocument writes it, byte for byte, whether the scan
// reads it in a short document or with room after it; or both refuse it. What is not strict JSON
// (Qt takes some of it) the scan leaves to Qt.
void TestUnits::numbers_data()
{
    QTest::addColumn<QByteArray>("number");
    QTest::addColumn<bool>("strict");
    const QByteArray strict
            = "0 -0 -0.0 0.0 1.000 5e0 2.5e3 1E2 1e+2 0.1e1 123.456e-2 1234.5 -87.25 0.1 -1e-05 "
              "-0.00001 0.0001 0.00012 0.001 1.23e-4 1.2e-05 1e-4 3.3333333333333335 "
              "3.3333333333333334 0.30000000000000004 0.3000000000000000444 -2999.9999999999995 "
              "12.000000000000002 0.1000000000000000055511151231257827 0.10000000000000001 "
              "1.4142135623730951 0.000123456789012345678 9007199254740992 9007199254740993 "
              "9007199254740993.0 123456789012345678 1234567890123456789 9223372036854775807 "
              "9223372036854775808 -9223372036854775808 -9223372036854775809 18446744073709551616 "
              "1e19 1e20 123e18 "
              "9.22e18 9.3e18 1.234567890123e18 9345678901234500000 1.2345678901234567e21 "
              "1.234567890123456e21 12345678901234567890123 4.9e-324 3e-324 "
              "2.4703282292062328e-324 2.4703282292062327e-324 1e-320 2.225073858507201e-308 "
              "1.7976931348623157e308 1.8e308 1e-400 0e-400 1e0000000000000000000001 "
              "9.000000000000001 1e-03 1.5e-04 1.50";
    for (const QByteArray &number : strict.split(' '))
        QTest::newRow(number.constData()) << number << true;
    for (const QByteArray &number : QByteArray("01 1. - .5 1e +1 1.e5 -.5").split(' '))
        QTest::newRow(number.constData()) << number << false;
}

void TestUnits::numbers()
{
    QFETCH(QByteArray, number);
    QFETCH(bool, strict);
    // Also among others written with spaces, with a string that has spaces next to them; the
    // second thread then starts among the first ones.
    const QByteArray spaced = (number + ", ").repeated(12);
    const QByteArray mixed = '[' + spaced + spaced + '[' + number + ", " + number + ",\" a b\",\t "
                             + spaced + number + "]]";
    const auto widths = vectorWidths();
    for (const QByteArray &document :
         {'[' + number + ']', '[' + number + ']' + QByteArray(32, ' '), mixed}) {
        QJsonParseError error;
        const QJsonDocument expected = QJsonDocument::fromJson(document, &error);
        // Also read by two threads, the second one's stretches of numbers taken whole; with
        // each width of registers.
        for (int run = 0; run < 2 * widths.size(); ++run) {
            const qsizetype twoThreadsFrom = run % 2 ? 0 : qsizetype(1) << 40;
            CanonicalJson::useVectors(widths[run / 2]);
            const auto widest = qScopeGuard(
                    [] { CanonicalJson::useVectors(CanonicalJson::Vectors::Widest); });
            CanonicalJson scan(twoThreadsFrom, 2);
            const bool taken = strict && error.error == QJsonParseError::NoError;
            QCOMPARE(scan.readDocument(document.constData(), document.size()), taken);
            if (!taken)
                continue;
            QCOMPARE(scan.text(), expected.toJson(QJsonDocument::Compact));
            // Squeezed in place, as the pass-through writes it, a piece reads as it is written.
            QByteArray line(document.constData(), document.size());
            QVERIFY(scan.readDocument(line.data(), line.size()));
            for (qsizetype i = 0; i < qsizetype(scan.pieces().size()); ++i) {
                const CanonicalJson::Piece &piece = scan.pieces()[size_t(i)];
                const QByteArray written = scan.text(i, i + 1);
                scan.squeezeInPlace(piece); // with two threads in halves, where two threads read
                QCOMPARE(QByteArray(scan.bytes(piece), piece.size), written);
            }
        }
    }
}

// Lists of numbers in Qt's form and near it, with white space and wrong separators here and
// there, read as QJsonDocument reads them: at every place in a window of bytes, with each width
// of registers, by one thread and by two.
void TestUnits::numberLists()
{
    static const char *const forms[] = {"1234.5",
                                        "-87.25",
                                        "0.1",
                                        "2500",
                                        "3.3333333333333335",
                                        "-1e-05",
                                        "7.5e-06",
                                        "-0.001",
                                        "0",
                                        "-0",
                                        "1e-04",
                                        "1.5e-04",
                                        "0.0001",
                                        "0.00012",
                                        "1.50",
                                        "1e+21",
                                        "1E-05",
                                        "5e-324",
                                        "123456789012345678",
                                        "1234567890123456789",
                                        "2.2250738585072014e-308",
                                        "0.000001234567890123456",
                                        "9.000000000000001"};
    static const char *const separators[] = {",", ",", ", ", ",\n  ", ",\t", " ,", ", ,", ",,"};
    static const char junk[] = ".-e0 ,]x+E5";
    std::mt19937 random(17);
    const auto pick = [&random](int n) { return int(random() % unsigned(n)); };
    const auto digits = [&pick](int n) {
        QByteArray text;
        for (int i = 0; i < n; ++i)
            text += char('0' + (pick(3) == 0 ? 0 : pick(10)));
        return text;
    };
    const auto number = [&] {
        if (pick(3) == 0)
            return QByteArray(forms[pick(int(std::size(forms)))]);
        QByteArray text = pick(3) == 0 ? "-" : "";
        const auto length = [&pick] { return pick(pick(4) == 0 ? 18 : 5); }; // mostly short
        text += pick(6) == 0 ? QByteArray("0") : char('1' + pick(9)) + digits(length());
        if (pick(2))
            text += '.' + digits(1 + length());
        if (pick(4) == 0)
            text += (pick(5) ? "e" : "E") + QByteArray(pick(2) ? "-" : "+")
                    + digits(pick(20) ? 1 + pick(2) : 3);
        if (pick(100) == 0)
            text.insert(pick(int(text.size()) + 1), junk[pick(int(sizeof junk) - 1)]);
        return text;
    };
    const auto widths = vectorWidths();
    const auto widest
            = qScopeGuard([] { CanonicalJson::useVectors(CanonicalJson::Vectors::Widest); });
    CanonicalJson one(qsizetype(1) << 40, 2), two(0, 2);
    int taken = 0;
    for (int i = 0; i < 3000; ++i) {
        QByteArray document = '[' + QByteArray(pick(3) == 0 ? pick(70) : 0, ' ');
        const int count = 1 + pick(pick(4) == 0 ? 200 : 30);
        for (int j = 0; j < count; ++j)
            document += (j ? QByteArray(separators[pick(300) == 0 ? 5 + pick(3) : pick(5)]) : "")
                        + number();
        document += pick(10) ? "]" : " ]";
        QJsonParseError error;
        const QByteArray expected
                = QJsonDocument::fromJson(document, &error).toJson(QJsonDocument::Compact);
        for (const auto width : widths) {
            CanonicalJson::useVectors(width);
            for (CanonicalJson *scan : {&one, &two}) {
                if (!scan->readDocument(document.constData(), document.size()))
                    continue;
                ++taken;
                QVERIFY2(error.error == QJsonParseError::NoError, document.constData());
                QCOMPARE(scan->text(), expected);
            }
        }
    }
    QCOMPARE_GT(taken, 2000 * widths.size()); // most lists are strict JSON
}

// A scan holds no more than its bound, also inside one long string of characters it writes
// escaped, six bytes each, and gives up on; trim() gives the memory back.
void TestUnits::scanBound()
{
    const QByteArray text = "{\"a\":\"" + QByteArray(1 << 20, '\x01') + "\"}";
    CanonicalJson scan;
    QVERIFY(!scan.readObject(text.constData(), text.size()));
    const qsizetype pieces = (text.size() / 16 + 1024) * qsizetype(sizeof(CanonicalJson::Piece));
    QCOMPARE_LE(scan.held(), 2 * text.size() + 65536 + pieces);
    scan.trim();
    QCOMPARE_LT(scan.held(), 65536);
}

QTEST_GUILESS_MAIN(TestUnits)
#include "tst_units.moc"
