// fuzz_linecutter.cpp - LineCutter against a plain byte-by-byte reading of the line rules
//
// The input chooses the line limit, how the stream is split into reads and which line handler
// calls stop the cutter; the rest is the stream. A stop is always followed by clear(), as the
// pipe reader does when handling a message closed the connection. Lines handed over, the
// too-long flag of each feed and the rest at the end must agree with the reference.
#include "fuzzcommon.h"

#include "io/linecutter.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

using namespace ves;

namespace {

// The rules, one byte at a time: a line ends at LF, loses one CR before it, is skipped when
// empty and dropped when longer than the limit. After each read, more than the limit held
// without LF is dropped, and so is everything up to the next LF.
class ReferenceCutter
{
public:
    explicit ReferenceCutter(qint64 limit)
        : limit(limit)
    {}

    // stopAt(n) tells whether the n-th line handed over stops the read (and clears).
    bool feed(const QByteArray &bytes,
              std::vector<QByteArray> &out,
              const std::function<bool()> &stopNext)
    {
        bool tooLong = false;
        for (char c : bytes) {
            if (c != '\n') {
                current.append(c);
                continue;
            }
            QByteArray line = current;
            current.clear();
            const bool wasSkipping = skipping;
            skipping = false;
            if (line.endsWith('\r'))
                line.chop(1);
            if (wasSkipping || line.isEmpty())
                continue;
            if (line.size() > limit) {
                tooLong = true;
                continue;
            }
            out.push_back(line);
            if (stopNext()) {
                current.clear();
                skipping = false;
                return tooLong;
            }
        }
        if (current.size() > limit) {
            current.clear();
            skipping = true;
            tooLong = true;
        }
        return tooLong;
    }

    QByteArray takeRest()
    {
        QByteArray rest = skipping ? QByteArray() : current;
        current.clear();
        skipping = false;
        if (rest.endsWith('\r'))
            rest.chop(1);
        return rest;
    }

private:
    qint64 limit;
    QByteArray current;
    bool skipping = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const qint64 limit = input.ConsumeIntegralInRange<qint64>(1, 48);
    const uint64_t stopBits = input.ConsumeIntegral<uint64_t>();

    mcp::LineCutter cutter(limit);
    ReferenceCutter reference(limit);
    std::vector<QByteArray> got;
    std::vector<QByteArray> expected;
    size_t gotCount = 0;
    size_t expectedCount = 0;
    auto stops = [stopBits](size_t n) { return (stopBits >> (n % 64)) & 1; };

    int reads = 0;
    while (input.remaining_bytes() > 0) {
        const size_t length = input.ConsumeIntegralInRange<size_t>(0, 80);
        const std::string chunk = input.ConsumeBytesAsString(length);
        const QByteArray bytes(chunk.data(), qsizetype(chunk.size()));
        ++reads;

        const bool gotTooLong
                = cutter.feed(bytes.constData(), bytes.size(), [&](const QByteArray &line) {
                      got.emplace_back(line.constData(), line.size());
                      if (stops(gotCount++)) {
                          cutter.clear();
                          return false;
                      }
                      return true;
                  });
        const bool expectedTooLong
                = reference.feed(bytes, expected, [&] { return stops(expectedCount++); });

        if (got != expected)
            fuzz::fail("lines differ from the reference after read " + std::to_string(reads),
                       bytes);
        if (gotTooLong != expectedTooLong)
            fuzz::fail("too-long flag differs from the reference after read "
                               + std::to_string(reads),
                       bytes);
    }
    const QByteArray rest = cutter.takeRest();
    const QByteArray expectedRest = reference.takeRest();
    if (rest != expectedRest)
        fuzz::fail("rest at the end differs from the reference", rest);
    // takeRest empties the cutter: a line after it starts afresh.
    std::vector<QByteArray> after;
    cutter.feed("x\n", 2, [&](const QByteArray &line) {
        after.emplace_back(line.constData(), line.size());
        return true;
    });
    if (after != std::vector<QByteArray>{QByteArray("x")})
        fuzz::fail("the cutter is not empty after takeRest");
    return 0;
}
