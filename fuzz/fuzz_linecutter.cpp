// fuzz_linecutter.cpp - LineCutter against a plain byte-by-byte reading of the line rules
//
// The input chooses the line limit, how the stream is split into reads and which handed-over
// lines stop the cutter; the rest is the stream. A stop is always followed by clear(), as the pipe
// reader does when handling a message closed the connection. Lines handed over, the too-long flag
// of each feed and the rest at the end must agree with the reference.
#include "fuzzcommon.h"

#include "io/linecutter.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <utility>

using namespace ves;

namespace {

// The rules, one byte at a time: a line ends at LF, loses one CR before it, is skipped when
// empty and dropped when longer than the limit. After each read, more than the limit held
// without LF is dropped, and so is everything up to the next LF; a line is rejected once.
struct ReferenceCutter
{
    qint64 limit;
    QByteArray current{};
    bool skipping = false;

    // stop() tells whether the line just handed over stops the read (and clears).
    bool feed(const QByteArray &bytes,
              std::vector<QByteArray> &out,
              const std::function<bool()> &stop)
    {
        bool tooLong = false;
        for (char c : bytes) {
            if (c != '\n') {
                current.append(c);
                continue;
            }
            QByteArray line = std::exchange(current, {});
            if (line.endsWith('\r'))
                line.chop(1);
            if (std::exchange(skipping, false) || line.isEmpty())
                continue;
            if (line.size() > limit) {
                tooLong = true;
                continue;
            }
            out.push_back(line);
            if (stop()) // nothing is held or skipped at this point: clearing is a no-op
                return tooLong;
        }
        if (current.size() > limit) {
            current.clear();
            tooLong = tooLong || !skipping; // one rejection per line, however long
            skipping = true;
        }
        return tooLong;
    }

    QByteArray takeRest()
    {
        QByteArray rest = std::exchange(current, {});
        if (std::exchange(skipping, false))
            return {};
        if (rest.endsWith('\r'))
            rest.chop(1);
        return rest;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const qint64 limit = input.ConsumeIntegralInRange<qint64>(1, 48);
    const uint64_t stopBits = input.ConsumeIntegral<uint64_t>();
    auto stops = [stopBits](size_t n) { return (stopBits >> (n % 64)) & 1; };

    mcp::LineCutter cutter(limit);
    ReferenceCutter reference{limit};
    std::vector<QByteArray> got, expected;
    size_t gotCount = 0, expectedCount = 0;
    auto feedBoth = [&](const QByteArray &bytes) {
        const bool tooLong = cutter.feed(bytes.constData(), bytes.size(), [&](const QByteArray &l) {
            got.emplace_back(l.constData(), l.size());
            const bool stop = stops(gotCount++);
            if (stop)
                cutter.clear();
            return !stop;
        });
        const bool expectedTooLong
                = reference.feed(bytes, expected, [&] { return stops(expectedCount++); });
        fuzz::check(got == expected, "lines differ from the reference after this read", bytes);
        fuzz::check(tooLong == expectedTooLong, "too-long flag differs from the reference", bytes);
    };
    while (input.remaining_bytes() > 0) {
        const size_t length = input.ConsumeIntegralInRange<size_t>(0, 80);
        const std::string chunk = input.ConsumeBytesAsString(length);
        feedBoth(QByteArray(chunk.data(), qsizetype(chunk.size())));
    }
    const QByteArray rest = cutter.takeRest();
    fuzz::check(rest == reference.takeRest(), "rest at the end differs from the reference", rest);
    feedBoth("x\n"); // takeRest empties the cutter: a line after it starts afresh
    return 0;
}
