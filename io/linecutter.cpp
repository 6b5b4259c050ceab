// linecutter.cpp - cutting a byte stream into lines
#include "io/linecutter.h"

#include "io/nativeio.h"

#include <algorithm>
#include <cstring>

namespace ves::mcp {

bool LineCutter::feed(const char *data, qint64 size, const LineHandler &onLine)
{
    buffer.append(data, size);
    return cut(onLine);
}

char *LineCutter::reserve(qint64 size)
{
    const qint64 held = buffer.size();
    // Room grows by doubling, so a message that arrives in many reads is copied a few times in
    // all, not once per read.
    if (buffer.capacity() < held + size) {
        qint64 room = std::max(held + size, 2 * qint64(buffer.capacity()));
        // Past a few MiB, straight to a block that glibc's malloc always maps on its own (its
        // threshold for that rises with large blocks freed, up to 32 MiB): such a block grows
        // by remapping its pages. A block served from the heap grows by a copy, which holds the
        // old and the new bytes at once, and the heap may keep them after: a line of 16 MiB
        // then left the program at 2.6 times its size instead of 1.8. Pages not written to
        // take no memory.
        if (room > keepCapacity)
            room = std::max(room, mappedBlock);
        buffer.reserve(room);
    }
    buffer.resize(held + size); // the new bytes are not initialised
    reserved = size;
    return buffer.data() + held;
}

bool LineCutter::commit(qint64 written, const LineHandler &onLine)
{
    buffer.resize(buffer.size() - reserved + std::clamp<qint64>(written, 0, reserved));
    reserved = 0;
    return cut(onLine);
}

bool LineCutter::cut(const LineHandler &onLine)
{
    bool tooLong = false;
    qint64 head = 0; // start of the first line not yet handed over
    bool stopped = false;
    while (searchFrom < buffer.size()) {
        const char *begin = buffer.constData();
        const auto *lf = static_cast<const char *>(
                std::memchr(begin + searchFrom, '\n', size_t(buffer.size() - searchFrom)));
        if (!lf)
            break;
        const qint64 p = lf - begin;
        qint64 length = p - head;
        if (length > 0 && begin[p - 1] == '\r')
            --length;
        const bool wasSkipping = skipping;
        skipping = false;
        const qint64 lineStart = head;
        head = p + 1;
        searchFrom = head;
        if (wasSkipping || length == 0)
            continue;
        if (length > maxLine) {
            tooLong = true;
            continue;
        }
        if (!onLine(QByteArray::fromRawData(begin + lineStart, length))) {
            stopped = true;
            break;
        }
    }
    if (stopped) {
        // The handler may have cleared the buffer; otherwise keep what was not handed over.
        if (head <= buffer.size()) {
            dropFront(head);
            searchFrom = 0;
        }
        return tooLong;
    }
    dropFront(head);
    searchFrom = buffer.size();
    if (buffer.size() > maxLine) {
        buffer.clear();
        searchFrom = 0;
        tooLong = tooLong || !skipping; // one over-long line, one rejection, however long
        skipping = true;
    }
    return tooLong;
}

bool LineCutter::holdsLargeBuffer() const
{
    return buffer.capacity() > keepCapacity && buffer.size() <= keepCapacity / 4;
}

void LineCutter::releaseLargeBuffer()
{
    if (!holdsLargeBuffer())
        return;
    buffer = QByteArray(buffer.constData(), buffer.size());
    native::releaseFreedMemory();
}

// QByteArray::remove(0, n) only moves the data pointer forward, and a later append does not use
// the room left in front, so nearly every read reallocated the buffer. Moving the unread rest
// (usually nothing, or a partial line) to the front keeps the allocation for the next read.
void LineCutter::dropFront(qint64 n)
{
    if (n <= 0)
        return;
    const qint64 rest = buffer.size() - n;
    if (rest > 0)
        std::memmove(buffer.data(), buffer.constData() + n, size_t(rest));
    buffer.resize(rest);
}

QByteArray LineCutter::takeRest()
{
    QByteArray rest = skipping ? QByteArray() : buffer;
    clear();
    if (rest.endsWith('\r'))
        rest.chop(1);
    return rest;
}

void LineCutter::clear()
{
    buffer = QByteArray();
    searchFrom = 0;
    skipping = false;
    reserved = 0;
}

} // namespace ves::mcp
