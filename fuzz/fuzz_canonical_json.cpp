// fuzz_canonical_json.cpp - the canonical scan against QJsonDocument, on any bytes
//
// Whenever the scan takes a document, QJsonDocument must take it too (read as keepOpeningMarks
// makes it read) and write the same bytes. Whenever it takes an answer object, each member's
// value must be what the relay would write for it after QJsonDocument read it: the result inside
// the response built around it, any other value (the id) as compactValue writes it. Taken or
// not, the scan holds no more than its bound. Read by two threads, with the second one's stretches
// of numbers taken whole, and with the narrowest vector registers, the document gives the same.
#include "fuzzcommon.h"

#include "mcp/canonicaljson.h"

#include <QStringDecoder>

using namespace ves;

static QByteArray oracleValue(const QJsonValue &value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::initApplication();
    // A copy of exactly the input's size, so that a read past its end is caught.
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(mcp::keepOpeningMarks(bytes), &error);
    const bool parsed = error.error == QJsonParseError::NoError;
    static mcp::CanonicalJson scan;
    const auto checkBound = [&bytes] {
        const qsizetype size = bytes.size();
        const qsizetype bound = 2 * size + 65536
                                + (size / 16 + 1024) * qsizetype(sizeof(mcp::CanonicalJson::Piece));
        fuzz::check(scan.held() <= bound, "the scan holds more than its bound", bytes);
    };

    const bool tookDocument = scan.readDocument(bytes.constData(), bytes.size());
    checkBound();
    if (tookDocument) {
        fuzz::check(parsed, "scan took a document QJsonDocument refuses", bytes);
        const QByteArray expected = document.toJson(QJsonDocument::Compact);
        if (scan.text() != expected)
            fuzz::fail("document written differently: " + expected.toStdString(), scan.text());
    }
    // With the narrowest registers, too.
    static mcp::CanonicalJson split(0, 2);
    mcp::CanonicalJson::useVectors(mcp::CanonicalJson::Vectors::Bits128);
    const bool splitTook = split.readDocument(bytes.constData(), bytes.size());
    mcp::CanonicalJson::useVectors(mcp::CanonicalJson::Vectors::Widest);
    fuzz::check(splitTook == tookDocument, "two threads take what one does not", bytes);
    if (splitTook && split.text() != scan.text())
        fuzz::fail("two threads write differently: " + scan.text().toStdString(), split.text());

    const bool tookObject = scan.readObject(bytes.constData(), bytes.size());
    checkBound();
    if (tookObject) {
        fuzz::check(parsed && document.isObject(), "an object QJsonDocument refuses", bytes);
        const QJsonObject object = document.object();
        fuzz::check(qsizetype(scan.members().size()) == object.size(), "member count", bytes);
        for (const mcp::CanonicalJson::Member &member : scan.members()) {
            // fromUtf8 would drop a byte-order mark that opens the key.
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
            const QString key = utf8(QByteArrayView(scan.bytes(member.key), member.key.size));
            fuzz::check(object.contains(key), "a key QJsonDocument does not have", key.toUtf8());
            const QJsonValue value = object.value(key);
            const QByteArray text = scan.text(member.first, member.end);
            const QByteArray oracle = oracleValue(value);
            if (value.isObject()) {
                const QByteArray expected
                        = QJsonDocument(mcp::McpServer::makeResult(7, value.toObject()))
                                  .toJson(QJsonDocument::Compact);
                if ("{\"id\":7,\"jsonrpc\":\"2.0\",\"result\":" + text + '}' != expected)
                    fuzz::fail("result written differently: " + expected.toStdString(), text);
            } else if (text != oracle) {
                fuzz::fail("value written differently: " + oracle.toStdString(), text);
            }
            fuzz::check(mcp::compactValue(value) == oracle, "compactValue differs", oracle);
        }
    }
    scan.trim();
    return 0;
}
