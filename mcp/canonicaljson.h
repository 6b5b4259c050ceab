// canonicaljson.h - rewriting JSON text into the compact form QJsonDocument writes, without
// building QJsonObjects
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace ves::mcp {

// QJsonDocument::fromJson drops a raw U+FEFF that opens a string or a key, where every other
// parser keeps it as the character it is. This is the text with each such mark escaped
// ("\ufeff"), which Qt keeps: what QJsonDocument reads to give an honest parser's result.
// The text itself when it holds none.
QByteArray keepOpeningMarks(const QByteArray &text);

// Reads JSON text and produces exactly the bytes that QJsonDocument::fromJson (of the text with
// keepOpeningMarks) followed by toJson(QJsonDocument::Compact) would produce: members sorted by
// key, no white space, Qt's escapes and number forms. The result is a list of pieces: stretches of
// the input that are already in that form are referred to, not copied, and only what differs is
// written anew. Whenever the input holds something whose treatment by Qt is not certain here
// (duplicate keys, keys beyond the Basic Multilingual Plane, lone surrogates, unknown escapes,
// very deep nesting, invalid UTF-8, anything that is not strict JSON), the scan fails, and the
// caller takes the ordinary way through QJsonDocument. A failed scan never means the text is
// invalid.
//
// The pieces refer to the input: they are valid while the input is, until the next scan. Beside
// the input a scan holds at most twice as many bytes written anew as the input has, plus 64 KiB
// (short stretches of reordered members may be copied once per level), and one piece per 16
// bytes of input, plus 1024, also while it fails; text that needs more fails the scan. Beside
// those, an object's pieces are copied while its members are put in order, and each member of
// the objects open at a time (never more than the pieces) takes an entry.
//
// A list of numbers is told 64 bytes at a time: bit masks of its bytes mark what no number in
// Qt's form holds, and only numbers of 17 bytes or more are looked at one by one.
//
// A document of 512 KiB or more is read by two threads: while the scan reads the first half, a
// second thread finds the stretches of the rest that are numbers already in Qt's form
// with commas between them (a coordinate list), which the scan then takes without reading them
// again. Such a stretch is the same bytes wherever it is, so the second thread need not know
// where in the document it starts; it holds an entry for each stretch of 1 KiB or more (less
// than 1/20 of the document, room to grow included).
class CanonicalJson
{
public:
    // The sizes from which a document is read by two threads and a stretch of numbers is
    // taken whole; tests make them small.
    explicit CanonicalJson(qsizetype twoThreadsFromSize = 512 << 10,
                           qsizetype shortestRunSize = 1024)
        : twoThreadsFrom(twoThreadsFromSize)
        , shortestRun(shortestRunSize)
    {}
    CanonicalJson(const CanonicalJson &) = delete;
    CanonicalJson &operator=(const CanonicalJson &) = delete;
    ~CanonicalJson() { stopRuns(); }

    struct Piece
    {
        qsizetype offset; // in the input, or in the bytes written anew when own is set
        qsizetype size;   // of the piece as written
        bool own;
        bool tokens = false; // in the input, numbers and commas only, maybe with gaps below
        // White space between its tokens that is not written: the piece spans size + dropped
        // bytes of the input. Such a piece is written by squeeze(), not by copying bytes().
        qint32 dropped = 0;
    };
    // A member of the top-level object read by readObject.
    struct Member
    {
        Piece key;              // the key's text, escapes resolved, without quotes
        qsizetype first, end;   // its value's pieces
        const char *valueStart; // its value in the input
    };

    // A whole JSON document (an object or an array, white space around it allowed).
    bool readDocument(const char *data, qsizetype size);
    // A document that is one object; members() then lists its members in input order, each
    // value in canonical form (the object itself is not written).
    bool readObject(const char *data, qsizetype size);

    const std::vector<Piece> &pieces() const { return out; }
    const std::vector<Member> &members() const { return top; }
    // Where a piece starts; with white space to drop (dropped), not yet as written.
    const char *bytes(const Piece &piece) const
    {
        return (piece.own ? own.data() : input) + piece.offset;
    }
    // Writes the piece's size bytes at to, which may be the piece's own place in the input
    // (after a scan, when the input is not needed again), or has room for them elsewhere.
    void squeeze(const Piece &piece, char *to) const;
    // squeeze() where the piece is in the input (which is not read again), on two threads when
    // it is large.
    void squeezeInPlace(const Piece &piece) const;
    // The pieces from first to end joined, between before and after.
    QByteArray text(qsizetype first,
                    qsizetype end,
                    QByteArrayView before = {},
                    QByteArrayView after = {}) const;
    QByteArray text() const { return text(0, qsizetype(out.size())); }
    // The key of a member equals the given text.
    bool keyIs(const Member &member, const char *key, qsizetype size) const;

    // The registers a list of numbers is read with: 128, 256 or 512 bits, the widest this
    // processor has unless a test asks for others. False, and no change, when it has not got
    // the ones asked for. For all scans of the program.
    enum class Vectors { Widest, Bits128, Bits256, Bits512 };
    static bool useVectors(Vectors vectors);

    // Lets go of memory grown by a large document.
    void trim();
    // The bytes held for the bytes written anew and the pieces.
    qsizetype held() const { return qsizetype(own.capacity() + out.capacity() * sizeof(Piece)); }

private:
    // Numbers in Qt's form and the commas between them, with white space after the commas
    // (blanks bytes of it): from the start of the first number to the end of the last.
    struct Run
    {
        const char *from;
        const char *to;
        qsizetype blanks;
    };
    static char *squeezeRange(const char *from, const char *inEnd, char *to, char *last);
    static void findRuns(const char *from,
                         const char *end,
                         qsizetype shortest,
                         std::vector<Run> &runs,
                         const std::atomic_bool &stop);
    void startRuns();
    void stopRuns();
    bool numbers(); // the run of numbers in Qt's form at p, at least one, up to nextRunFrom
    bool takeRun(); // an array's element at p that starts a run: taken whole
    void emitRun(const Run &run);

    struct ObjectMember
    {
        qsizetype keyOffset, keySize; // decoded key
        bool keyOwn;
        const char *keyQuote; // its opening quote in the input, when written there as it is
        const char *comma;    // the comma before it in the input, or null
        const char *colon;
        qsizetype first, end; // its value's pieces
    };

    bool start(const char *data, qsizetype size);
    bool topObject();
    bool value(int depth);
    bool object(int depth);
    bool array(int depth);
    bool string();
    bool key(ObjectMember &member);
    bool number();
    bool rewriteNumber(const char *first, const char *last, bool integer);
    bool literal(const char *word, qsizetype size); // true, false or null
    bool utf8(); // one multi-byte UTF-8 sequence at p, checked as Qt checks it
    void skipSpace();

    // The usual case, joined to the stretch of the input before it, without a call.
    void emitInput(const char *from, qsizetype size)
    {
        if (!barrier && !out.empty() && !out.back().own
            && out.back().offset + out.back().size == from - input) {
            out.back().size += size;
            out.back().tokens = false; // it may hold a string now, with spaces in it
        } else {
            emitInputApart(from, size);
        }
    }
    void emitInputApart(const char *from, qsizetype size);
    // A number or an array's comma as it is in the input: joins the piece before it across the
    // white space after a comma, which an array written with spaces has between all elements.
    void emitToken(const char *from, qsizetype size)
    {
        if (!barrier && !out.empty() && !out.back().own) {
            Piece &last = out.back();
            const qsizetype lastEnd = last.offset + last.size + last.dropped;
            if (lastEnd == from - input) {
                last.size += size;
                return;
            }
            if (from == gapEnd && lastEnd == gapStart - input && last.tokens
                && last.dropped + (gapEnd - gapStart) <= 0x7FFFFFFF) {
                last.dropped += qint32(gapEnd - gapStart);
                last.size += size;
                return;
            }
        }
        emitTokenApart(from, size);
    }
    void emitTokenApart(const char *from, qsizetype size);
    void emitOwn(const char *data, qsizetype size);
    void emitChar(char c, const char *at); // at: where the input holds c, or null
    void appendPiece(qsizetype offset, qsizetype size, bool written);
    void appendWhole(const Piece &piece);       // never joined, nor copied
    bool put(const char *data, qsizetype size); // to the bytes written anew, within the bound
    int compareKeys(const ObjectMember &a, const ObjectMember &b) const;

    const char *input = nullptr;
    const char *end = nullptr;
    const char *p = nullptr;
    // Grown with realloc: a large block then grows in place or is moved by the system without a
    // copy, instead of being copied to a new block, which would hold both for a while.
    class Bytes
    {
    public:
        Bytes() = default;
        Bytes(const Bytes &) = delete;
        Bytes &operator=(const Bytes &) = delete;
        ~Bytes() { std::free(bytes); }
        const char *data() const { return bytes; }
        size_t size() const { return used; }
        size_t capacity() const { return room; }
        void clear() { used = 0; }
        void release();
        bool reserve(size_t size);
        void append(const char *from, size_t count)
        {
            std::memcpy(bytes + used, from, count);
            used += count;
        }
        // 32 bytes are copied: there must be room for them on both sides.
        void appendShort(const char *from, size_t count)
        {
            std::memcpy(bytes + used, from, 32);
            used += count;
        }

    private:
        char *bytes = nullptr;
        size_t used = 0;
        size_t room = 0;
    };

    Bytes own; // the bytes written anew
    std::vector<Piece> out;
    bool barrier = false;           // the next piece must not be joined to the one before it
    const char *gapStart = nullptr; // the white space after an array's last comma
    const char *gapEnd = nullptr;
    bool overflow = false; // the scan went past the bounds below
    qsizetype ownLimit = 0;
    size_t pieceLimit = 0;
    std::vector<ObjectMember> stack; // the members of the objects being read, innermost last
    std::vector<Piece> moved;        // an object's pieces while it is written in key order
    std::vector<Member> top;

    const qsizetype twoThreadsFrom;
    const qsizetype shortestRun;
    std::thread runFinder;
    std::atomic_bool runsStop{false};
    std::vector<Run> runs; // the finder's, until it is joined
    size_t runIndex = 0;
    const char *nextRunFrom = nullptr; // no run is looked for before it
};

} // namespace ves::mcp
