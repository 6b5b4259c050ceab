// linecutter.h - cutting a byte stream into lines, with a limit on the length of one line
#pragma once

#include <QByteArray>

#include <functional>

namespace ves::mcp {

// Used for standard input and for the pipe from Vesk Studio. Each byte is searched for a line
// feed once, and the consumed lines are removed from the buffer once per feed, not once per
// line, so many small lines in one read cost linear time.
class LineCutter
{
public:
    explicit LineCutter(qint64 lineLimit = 0x10000000)
        : maxLine(lineLimit)
    {}

    // Receives one line without its line end (a CR before the LF is dropped). The bytes are only
    // valid during the call, and the handler may overwrite them. Returns false to stop cutting: the
    // rest stays unread until clear().
    using LineHandler = std::function<bool(const QByteArray &line)>;

    // Appends the bytes and hands over every complete non-empty line. Returns true when a line
    // longer than the limit was dropped, or when more than the limit was held without a line
    // feed; those bytes, up to the next line feed, are then dropped too.
    bool feed(const char *data, qint64 size, const LineHandler &onLine);

    // Lets a reader put bytes straight behind the buffered ones instead of handing over a copy:
    // write up to size bytes at the returned pointer, then call commit with the number written
    // (a negative count counts as none), which cuts and returns as feed does.
    char *reserve(qint64 size);
    bool commit(qint64 written, const LineHandler &onLine);

    // The bytes after the last line feed at the end of the stream (nothing when they belong to
    // a line that was too long), with one trailing CR removed. Empties the cutter.
    QByteArray takeRest();

    void clear();
    qint64 limit() const { return maxLine; }

    // After a message of many MiB the buffer's room can be given back, so that an idle program
    // keeps little. Kept meanwhile, a stream of large messages reuses it: fresh room costs a
    // page fault for every 4 KiB written.
    bool holdsLargeBuffer() const;
    void releaseLargeBuffer();

private:
    qint64 maxLine;
    QByteArray buffer;
    qint64 searchFrom = 0; // nothing before it holds a line feed
    bool skipping = false; // dropping the rest of a line that was too long
    qint64 reserved = 0;   // bytes added by reserve() and not yet committed

    static constexpr qint64 keepCapacity = 4 << 20;
    static constexpr qint64 mappedBlock = (32 << 20) + (64 << 10);

    bool cut(const LineHandler &onLine);
    void dropFront(qint64 n); // removes the first n bytes, keeping the allocation
};

} // namespace ves::mcp
