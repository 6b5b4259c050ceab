// canonicaljson.cpp - rewriting JSON text into the compact form QJsonDocument writes, without
// building QJsonObjects
#include "mcp/canonicaljson.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ves::mcp {

namespace {

// Deeper documents are left to QJsonDocument, which has its own limit.
constexpr int maxDepth = 128;
// More members than this in the top-level object: the duplicate check would cost too much.
constexpr size_t maxTopMembers = 64;
// Pieces shorter than this are copied rather than referred to when they join no neighbour.
constexpr qsizetype shortPiece = 64;

// The first byte at or after p that a string scan must look at: a quote, a backslash, a
// control character or a byte of a multi-byte UTF-8 sequence. Long texts are mostly plain.
const char *skipPlain(const char *p, const char *end)
{
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        // Signed: below 0x20 holds the control characters and every byte from 0x80 on.
        const __m128i look = _mm_or_si128(
                _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                _mm_cmplt_epi8(bytes, space));
        const int mask = _mm_movemask_epi8(look);
        if (mask != 0) {
            int first = 0;
            while (!(mask & (1 << first)))
                ++first;
            return p + first;
        }
        p += 16;
    }
#endif
    while (p < end) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80)
            return p;
        ++p;
    }
    return p;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool hex4(const char *p, unsigned &code)
{
    code = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = p[i];
        code <<= 4;
        if (c >= '0' && c <= '9')
            code |= unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            code |= unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            code |= unsigned(c - 'A' + 10);
        else
            return false;
    }
    return true;
}

int encodeUtf8(unsigned code, char *to)
{
    if (code < 0x80) {
        to[0] = char(code);
        return 1;
    }
    if (code < 0x800) {
        to[0] = char(0xC0 | (code >> 6));
        to[1] = char(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        to[0] = char(0xE0 | (code >> 12));
        to[1] = char(0x80 | ((code >> 6) & 0x3F));
        to[2] = char(0x80 | (code & 0x3F));
        return 3;
    }
    to[0] = char(0xF0 | (code >> 18));
    to[1] = char(0x80 | ((code >> 12) & 0x3F));
    to[2] = char(0x80 | ((code >> 6) & 0x3F));
    to[3] = char(0x80 | (code & 0x3F));
    return 4;
}

// How Qt writes a control character: a short escape where one exists, else \u00xx in lower case.
int controlEscape(unsigned code, char *to)
{
    to[0] = '\\';
    switch (code) {
    case '\b':
        to[1] = 'b';
        return 2;
    case '\f':
        to[1] = 'f';
        return 2;
    case '\n':
        to[1] = 'n';
        return 2;
    case '\r':
        to[1] = 'r';
        return 2;
    case '\t':
        to[1] = 't';
        return 2;
    default:
        break;
    }
    static const char digits[] = "0123456789abcdef";
    to[1] = 'u';
    to[2] = '0';
    to[3] = '0';
    to[4] = digits[code >> 4];
    to[5] = digits[code & 0xF];
    return 6;
}

bool isLowerHex(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f');
}

} // namespace

bool CanonicalJson::start(const char *data, qsizetype size)
{
    input = data;
    end = data + size;
    p = data;
    own.clear();
    out.clear();
    stack.clear();
    top.clear();
    barrier = false;
    overflow = false;
    // Bounds on what a scan holds beside the input; text that needs more takes the ordinary way.
    ownLimit = 2 * size + 65536;
    pieceLimit = size_t(size / 16 + 1024);
    skipSpace();
    return p < end;
}

bool CanonicalJson::readDocument(const char *data, qsizetype size)
{
    if (!start(data, size) || (*p != '{' && *p != '['))
        return false;
    if (!value(0))
        return false;
    skipSpace();
    return p == end && !overflow;
}

bool CanonicalJson::readObject(const char *data, qsizetype size)
{
    if (!start(data, size) || *p != '{')
        return false;
    ++p;
    skipSpace();
    if (p < end && *p == '}') {
        ++p;
        skipSpace();
        return p == end;
    }
    for (;;) {
        if (p >= end || *p != '"' || top.size() == maxTopMembers)
            return false;
        ObjectMember m{};
        if (!key(m))
            return false;
        skipSpace();
        if (p >= end || *p != ':')
            return false;
        ++p;
        skipSpace();
        const char *const valueStart = p;
        m.first = qsizetype(out.size());
        barrier = true;
        if (!value(1))
            return false;
        m.end = qsizetype(out.size());
        for (const ObjectMember &other : stack) {
            if (compareKeys(other, m) == 0)
                return false; // which one Qt keeps is not for this scan to guess
        }
        stack.push_back(m);
        top.push_back({Piece{m.keyOffset, m.keySize, m.keyOwn}, m.first, m.end, valueStart});
        skipSpace();
        if (p >= end)
            return false;
        if (*p == ',') {
            ++p;
            skipSpace();
            continue;
        }
        if (*p != '}')
            return false;
        ++p;
        skipSpace();
        return p == end && !overflow;
    }
}

QByteArray CanonicalJson::text(qsizetype first,
                               qsizetype last,
                               QByteArrayView before,
                               QByteArrayView after) const
{
    qsizetype size = before.size() + after.size();
    for (qsizetype i = first; i < last; ++i)
        size += out[size_t(i)].size;
    QByteArray joined(size, Qt::Uninitialized);
    char *at = joined.data();
    const auto put = [&at](const char *data, qsizetype count) {
        if (count > 0)
            std::memcpy(at, data, size_t(count));
        at += count;
    };
    put(before.data(), before.size());
    for (qsizetype i = first; i < last; ++i)
        put(bytes(out[size_t(i)]), out[size_t(i)].size);
    put(after.data(), after.size());
    return joined;
}

bool CanonicalJson::keyIs(const Member &member, const char *key, qsizetype size) const
{
    return member.key.size == size && std::memcmp(bytes(member.key), key, size_t(size)) == 0;
}

void CanonicalJson::trim()
{
    if (own.capacity() > (1 << 20))
        std::string().swap(own);
    if (out.capacity() > 65536)
        std::vector<Piece>().swap(out);
    if (moved.capacity() > 65536)
        std::vector<Piece>().swap(moved);
    if (stack.capacity() > 65536)
        std::vector<ObjectMember>().swap(stack);
}

void CanonicalJson::skipSpace()
{
    while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t'))
        ++p;
}

bool CanonicalJson::value(int depth)
{
    if (p >= end || depth > maxDepth)
        return false;
    switch (*p) {
    case '{':
        return object(depth);
    case '[':
        return array(depth);
    case '"':
        return string();
    case 't':
        return literal("true", 4);
    case 'f':
        return literal("false", 5);
    case 'n':
        return literal("null", 4);
    default:
        return number();
    }
}

bool CanonicalJson::literal(const char *word, qsizetype size)
{
    if (end - p < size || std::memcmp(p, word, size_t(size)) != 0)
        return false;
    emitInput(p, size);
    p += size;
    return true;
}

// The members are read with each value's pieces kept apart, then written in key order.
bool CanonicalJson::object(int depth)
{
    const bool separate = barrier;
    const char *const open = p++;
    skipSpace();
    if (p < end && *p == '}') {
        emitChar('{', open);
        emitChar('}', p++);
        return true;
    }
    const qsizetype base = qsizetype(out.size());
    const size_t firstMember = stack.size();
    const char *comma = nullptr;
    for (;;) {
        if (p >= end || *p != '"')
            return false;
        ObjectMember m{};
        m.comma = comma;
        if (!key(m))
            return false;
        skipSpace();
        if (p >= end || *p != ':')
            return false;
        m.colon = p++;
        skipSpace();
        m.first = qsizetype(out.size());
        barrier = true;
        if (!value(depth + 1))
            return false;
        m.end = qsizetype(out.size());
        stack.push_back(m);
        if (overflow)
            return false;
        skipSpace();
        if (p >= end)
            return false;
        if (*p == ',') {
            comma = p++;
            skipSpace();
            continue;
        }
        if (*p != '}')
            return false;
        break;
    }
    const char *const close = p++;

    const auto first = stack.begin() + std::ptrdiff_t(firstMember);
    const auto last = stack.end();
    const auto before = [this](const ObjectMember &a, const ObjectMember &b) {
        return compareKeys(a, b) < 0;
    };
    if (!std::is_sorted(first, last, before)) {
        if (last - first <= 16) { // the usual small object: no buffer to allocate
            for (auto it = first + 1; it < last; ++it) {
                for (auto at = it; at != first && before(*at, at[-1]); --at)
                    std::swap(*at, at[-1]);
            }
        } else {
            std::stable_sort(first, last, before);
        }
    }
    for (auto it = first + 1; it < last; ++it) {
        if (!before(it[-1], *it))
            return false; // a duplicate key: which one Qt keeps is not for this scan to guess
    }

    moved.assign(out.begin() + base, out.end());
    out.resize(size_t(base));
    barrier = separate;
    emitChar('{', open);
    for (auto it = first; it != last; ++it) {
        if (it != first)
            emitChar(',', it->comma);
        if (it->keyQuote) {
            emitInput(it->keyQuote, it->keySize + 2);
            emitChar(':', it->colon);
        } else {
            emitOwn("\"", 1);
            appendPiece({it->keyOffset, it->keySize, true});
            emitOwn("\":", 2);
        }
        for (qsizetype i = it->first; i < it->end; ++i)
            appendPiece(moved[size_t(i - base)]);
    }
    emitChar('}', close);
    stack.resize(firstMember);
    return true;
}

bool CanonicalJson::array(int depth)
{
    emitChar('[', p++);
    skipSpace();
    if (p < end && *p == ']') {
        emitChar(']', p++);
        return true;
    }
    for (;;) {
        if (!value(depth + 1) || overflow)
            return false;
        skipSpace();
        if (p >= end)
            return false;
        if (*p == ']') {
            emitChar(']', p++);
            return true;
        }
        if (*p != ',')
            return false;
        emitChar(',', p++);
        skipSpace();
    }
}

// Qt writes a string's characters as they are, except the quote, the backslash and control
// characters (escaped) and lone surrogates (\uxxxx). Stretches in that form are referred to.
bool CanonicalJson::string()
{
    const char *run = p++;
    if (startsWithBom())
        return false;
    for (;;) {
        p = skipPlain(p, end);
        if (p >= end)
            return false;
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"') {
            ++p;
            emitInput(run, p - run);
            return true;
        }
        if (c >= 0x80) {
            if (!utf8())
                return false;
            continue;
        }
        char written[6];
        if (c < 0x20) { // Qt takes raw control characters and writes them escaped
            emitInput(run, p - run);
            emitOwn(written, controlEscape(c, written));
            run = ++p;
            continue;
        }
        if (end - p < 2)
            return false;
        switch (p[1]) {
        case '"':
        case '\\':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            p += 2;
            continue;
        case '/':
            emitInput(run, p - run);
            emitOwn("/", 1);
            run = p += 2;
            continue;
        case 'u':
            break;
        default:
            return false; // Qt takes the character after the backslash; rare enough to leave
        }
        unsigned code;
        if (end - p < 6 || !hex4(p + 2, code))
            return false;
        const char *const escape = p;
        p += 6;
        int size;
        if (code < 0x20) {
            if (escape[2] == '0' && escape[3] == '0' && isLowerHex(escape[4])
                && isLowerHex(escape[5]) && code != '\b' && code != '\f' && code != '\n'
                && code != '\r' && code != '\t')
                continue; // already as Qt writes it
            size = controlEscape(code, written);
        } else if (code == '"' || code == '\\') {
            written[0] = '\\';
            written[1] = char(code);
            size = 2;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            unsigned low;
            if (code >= 0xDC00 || end - p < 6 || p[0] != '\\' || p[1] != 'u' || !hex4(p + 2, low)
                || low < 0xDC00 || low > 0xDFFF)
                return false; // a lone surrogate
            p += 6;
            size = encodeUtf8(0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00), written);
        } else {
            size = encodeUtf8(code, written);
        }
        emitInput(run, escape - run);
        emitOwn(written, size);
        run = p;
    }
}

// Keys are compared on their text, escapes resolved, as Qt sorts them. Only keys whose text
// Qt writes back without escapes, and within the Basic Multilingual Plane (where the order of
// UTF-8 bytes is that of UTF-16 units), are taken.
bool CanonicalJson::key(ObjectMember &member)
{
    const char *const quote = p++;
    const char *const text = p;
    if (startsWithBom())
        return false;
    for (;;) {
        p = skipPlain(p, end);
        if (p >= end)
            return false;
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0xF0)
            break;
        if (!utf8()) // skipPlain stops only at those and at the bytes of UTF-8 sequences
            return false;
    }
    if (*p == '"') {
        member.keyOffset = text - input;
        member.keySize = p - text;
        member.keyOwn = false;
        member.keyQuote = quote;
        ++p;
        return true;
    }
    member.keyOwn = true;
    member.keyQuote = nullptr;
    member.keyOffset = qsizetype(own.size());
    own.append(text, size_t(p - text));
    for (;;) {
        if (p >= end)
            return false;
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"') {
            member.keySize = qsizetype(own.size()) - member.keyOffset;
            ++p;
            return true;
        }
        if (c < 0x20 || c >= 0xF0)
            return false;
        if (c >= 0x80) {
            const char *const from = p;
            if (!utf8())
                return false;
            own.append(from, size_t(p - from));
            continue;
        }
        if (c != '\\') {
            own.push_back(char(c));
            ++p;
            continue;
        }
        if (end - p < 2)
            return false;
        if (p[1] == '/') {
            own.push_back('/');
            p += 2;
            continue;
        }
        unsigned code;
        if (p[1] != 'u' || end - p < 6 || !hex4(p + 2, code) || code < 0x20 || code == '"'
            || code == '\\' || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        char written[4];
        own.append(written, size_t(encodeUtf8(code, written)));
        p += 6;
    }
}

// A number as Qt reads it when it is strict JSON. Integers of up to 15 digits stay as they are;
// every other form (fractions, exponents, -0, large integers) is written by Qt itself.
bool CanonicalJson::number()
{
    const char *const first = p;
    if (*p == '-')
        ++p;
    if (p >= end)
        return false;
    if (*p == '0')
        ++p;
    else if (*p >= '1' && *p <= '9')
        while (p < end && isDigit(*p))
            ++p;
    else
        return false;
    const qsizetype integerSize = p - first;
    bool plain = true;
    if (p < end && *p == '.') {
        plain = false;
        const char *const digits = ++p;
        while (p < end && isDigit(*p))
            ++p;
        if (p == digits)
            return false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        plain = false;
        ++p;
        if (p < end && (*p == '+' || *p == '-'))
            ++p;
        const char *const digits = p;
        while (p < end && isDigit(*p))
            ++p;
        if (p == digits)
            return false;
    }
    const bool negativeZero = integerSize == 2 && first[0] == '-' && first[1] == '0';
    if (plain && integerSize <= 15 && !negativeZero) {
        emitInput(first, p - first);
        return true;
    }
    QByteArray probe;
    probe.reserve(p - first + 2);
    probe.append('[').append(first, p - first).append(']');
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(probe, &error);
    if (error.error != QJsonParseError::NoError)
        return false;
    const QByteArray written = document.toJson(QJsonDocument::Compact);
    emitOwn(written.constData() + 1, written.size() - 2);
    return true;
}

// One multi-byte sequence, refused as Qt refuses it: overlong forms, surrogates, code points
// beyond U+10FFFF, stray continuation bytes.
bool CanonicalJson::utf8()
{
    const unsigned char lead = static_cast<unsigned char>(*p);
    int size;
    unsigned char low = 0x80, high = 0xBF; // the allowed range of the second byte
    if (lead < 0xC2)
        return false;
    if (lead < 0xE0) {
        size = 2;
    } else if (lead < 0xF0) {
        size = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead < 0xF5) {
        size = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return false;
    }
    if (end - p < size)
        return false;
    const unsigned char second = static_cast<unsigned char>(p[1]);
    if (second < low || second > high)
        return false;
    for (int i = 2; i < size; ++i) {
        if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80)
            return false;
    }
    p += size;
    return true;
}

// Qt drops a byte-order mark that opens a string written without escapes.
bool CanonicalJson::startsWithBom() const
{
    return end - p >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0;
}

void CanonicalJson::emitInput(const char *from, qsizetype size)
{
    if (size == 0)
        return;
    appendPiece({from - input, size, false});
}

void CanonicalJson::emitOwn(const char *data, qsizetype size)
{
    if (size == 0)
        return;
    const qsizetype offset = qsizetype(own.size());
    own.append(data, size_t(size));
    appendPiece({offset, size, true});
}

void CanonicalJson::emitChar(char c, const char *at)
{
    if (at)
        emitInput(at, 1);
    else
        emitOwn(&c, 1);
}

void CanonicalJson::appendPiece(Piece piece)
{
    if (!out.empty() && !barrier) {
        Piece &last = out.back();
        if (last.own == piece.own && last.offset + last.size == piece.offset) {
            last.size += piece.size;
            return;
        }
        // A short piece that joins nothing is copied behind the bytes written anew, so that
        // short stretches between rewrites or moved members do not each cost a piece.
        const bool atOwnEnd = piece.own && piece.offset + piece.size == qsizetype(own.size());
        if (piece.size < shortPiece && !atOwnEnd) {
            char copy[shortPiece];
            std::memcpy(copy, bytes(piece), size_t(piece.size));
            piece.offset = qsizetype(own.size());
            piece.own = true;
            own.append(copy, size_t(piece.size));
            if (last.own && last.offset + last.size == piece.offset) {
                last.size += piece.size;
                overflow = overflow || qsizetype(own.size()) > ownLimit;
                return;
            }
        }
    }
    barrier = false;
    out.push_back(piece);
    overflow = overflow || qsizetype(own.size()) > ownLimit || out.size() > pieceLimit;
}

int CanonicalJson::compareKeys(const ObjectMember &a, const ObjectMember &b) const
{
    const char *const x = (a.keyOwn ? own.data() : input) + a.keyOffset;
    const char *const y = (b.keyOwn ? own.data() : input) + b.keyOffset;
    const int order = std::memcmp(x, y, size_t(std::min(a.keySize, b.keySize)));
    if (order != 0)
        return order;
    return a.keySize < b.keySize ? -1 : a.keySize > b.keySize ? 1 : 0;
}

} // namespace ves::mcp
