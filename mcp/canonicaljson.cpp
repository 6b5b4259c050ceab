// canonicaljson.cpp - rewriting JSON text into the compact form QJsonDocument writes, without
// building QJsonObjects
#include "mcp/canonicaljson.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// Wider registers where the processor has them, chosen when the program runs.
#if defined(__SSE2__) && defined(__GNUC__) && defined(__x86_64__)
#define VESK_WIDE_VECTORS
#include <immintrin.h>
#endif

// The steps every number of a coordinate list takes, inlined into the two loops that read them.
#if defined(__GNUC__)
#define VESK_INLINE inline __attribute__((always_inline))
#else
#define VESK_INLINE inline
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

// Room for any number as Qt writes it: a sign, 17 digits, a point and "e-324", or a 20 byte
// integer; with a margin.
constexpr int numberRoom = 32;

// How Qt writes a double: a whole number within 64 bits as that integer (-0 as 0), any other the
// shortest digits that read back as the same double, in the shorter of the decimal and the
// exponent form (the decimal one when both are as long), the exponent with its sign and at least
// two digits.
int writeDouble(double value, char *to)
{
    constexpr double twoTo63 = 9223372036854775808.0;
    if (value >= -twoTo63 && value < twoTo63 && value == std::trunc(value))
        return int(std::to_chars(to, to + numberRoom, qint64(value)).ptr - to);
    char scientific[numberRoom]; // [-]d[.ddd]e(+|-)xx[x]
    const char *const last
            = std::to_chars(
                      scientific, scientific + numberRoom, value, std::chars_format::scientific)
                      .ptr;
    const char *s = scientific;
    char *at = to;
    if (*s == '-')
        *at++ = *s++;
    char digits[numberRoom];
    int count = 0;
    for (; *s != 'e'; ++s) {
        if (*s != '.')
            digits[count++] = *s;
    }
    const bool negativeExponent = s[1] == '-';
    int exponent = 0;
    std::from_chars(s + 2, last, exponent);
    const int magnitude = exponent;
    if (negativeExponent)
        exponent = -exponent;
    const int point = exponent + 1; // digits before the decimal point; below 1: zeros after it
    const int exponentForm = count + (count > 1) + 2 + (magnitude >= 100 ? 3 : 2);
    const auto put = [&at](const char *from, int size) {
        std::memcpy(at, from, size_t(size));
        at += size;
    };
    const auto zeros = [&at](int size) {
        std::memset(at, '0', size_t(size));
        at += size;
    };
    if (point <= 0 && 2 - point + count <= exponentForm) {
        put("0.", 2);
        zeros(-point);
        put(digits, count);
    } else if (point > 0 && point < count) {
        put(digits, point);
        *at++ = '.';
        put(digits + point, count - point);
    } else if (point >= count && point <= exponentForm) {
        put(digits, count);
        zeros(point - count);
    } else {
        *at++ = digits[0];
        if (count > 1) {
            *at++ = '.';
            put(digits + 1, count - 1);
        }
        put(negativeExponent ? "e-" : "e+", 2);
        if (magnitude < 10)
            *at++ = '0';
        at = std::to_chars(at, at + 4, magnitude).ptr;
    }
    return int(at - to);
}

// The parts of a number's text after its sign: [integer, point) the integer's digits, then the
// fraction's up to exponent when point is at a '.', then the exponent up to last.
struct NumberText
{
    const char *integer;
    const char *point;
    const char *exponent;
    const char *last;
    qsizetype count; // significant digits
    qsizetype zeros; // after "0.", before the first significant digit
};

// The rest of a number in strict JSON, from n.integer on; false when there is none.
bool readNumber(const char *end, NumberText &n)
{
    const char *q = n.integer;
    if (q < end && *q == '0') {
        ++q;
    } else if (q < end && *q >= '1' && *q <= '9') {
        do
            ++q;
        while (q < end && isDigit(*q));
    } else {
        return false;
    }
    n.point = q;
    n.count = *n.integer != '0' ? q - n.integer : 0;
    n.zeros = 0;
    if (q < end && *q == '.') {
        const char *const start = ++q;
        if (n.count == 0) {
            while (q < end && *q == '0')
                ++q;
        }
        n.zeros = q - start;
        const char *const significant = q;
        while (q < end && isDigit(*q))
            ++q;
        if (q == start)
            return false;
        n.count += q - significant;
    }
    n.exponent = q;
    if (q < end && (*q == 'e' || *q == 'E')) {
        ++q;
        if (q < end && (*q == '+' || *q == '-'))
            ++q;
        const char *const start = q;
        while (q < end && isDigit(*q))
            ++q;
        if (q == start)
            return false;
    }
    n.last = q;
    return true;
}

#if defined(__SSE2__)
// The same for the usual numbers without an exponent, told from 32 bytes at once (there must be
// as many): false, with nothing decided, for any other.
VESK_INLINE bool readShortNumber(NumberText &n)
{
    const auto mask = [](const char *at, char low, char high) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
        const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8(low));
        const __m128i range = _mm_set1_epi8(char(high - low));
        return quint64(unsigned(_mm_movemask_epi8(
                _mm_cmpeq_epi8(_mm_min_epu8(offset, range), offset)))); // unsigned offset <= range
    };
    const quint64 nonDigits = ~(mask(n.integer, '0', '9') | mask(n.integer + 16, '0', '9') << 16);
    const int whole = __builtin_ctzll(nonDigits);
    // One branch, not three: whether a number has a sign or one digit before its point is as
    // good as random in a list of coordinates.
    if ((unsigned(whole - 1) > 29u) | ((whole > 1) & (*n.integer == '0')))
        return false;
    n.point = n.integer + whole;
    n.zeros = 0;
    if (*n.point != '.') {
        n.exponent = n.last = n.point;
        n.count = whole;
        return *n.point != 'e' && *n.point != 'E';
    }
    const int fraction = __builtin_ctzll(nonDigits >> (whole + 1)); // stops at the 32nd byte
    if (fraction == 0 || whole + 1 + fraction >= 32)
        return false;
    n.exponent = n.last = n.point + 1 + fraction;
    if ((*n.last | 0x20) == 'e')
        return false;
    // 0.ddd or d.ddd told without a branch, for the same reason.
    const quint64 zeros = mask(n.integer, '0', '0') | mask(n.integer + 16, '0', '0') << 16;
    const int leading = std::min(__builtin_ctzll(~zeros >> 2), fraction);
    const int belowOne = -int(*n.integer == '0'); // all ones or none
    n.zeros = leading & belowOne;
    n.count = fraction - (leading & belowOne) + (whole & ~belowOne);
    return true;
}
#endif

// The value of count (at most 8) digits at s, read as one 64-bit word where 8 bytes can be
// read there: a loop of a multiplication per digit is most of what a long number costs.
quint64 digitsValue(const char *s, qsizetype count, const char *end)
{
    if (count == 0)
        return 0;
    if (end - s < 8) {
        quint64 value = 0;
        for (qsizetype i = 0; i < count; ++i)
            value = value * 10 + quint64(s[i] - '0');
        return value;
    }
    quint64 word;
    std::memcpy(&word, s, sizeof word);
    if constexpr (Q_BYTE_ORDER != Q_LITTLE_ENDIAN) {
        quint64 value = 0;
        for (qsizetype i = 0; i < count; ++i)
            value = value * 10 + quint64(s[i] - '0');
        return value;
    }
    // The digits to the top bytes, zeros (leading zero digits) below them.
    word = (word - 0x3030303030303030ull) << (8 * (8 - count));
    word = word * 10 + (word >> 8);
    return (((word & 0x000000FF000000FFull) * 0x000F424000000064ull)
            + (((word >> 16) & 0x000000FF000000FFull) * 0x0000271000000001ull))
           >> 32;
}

// The significant digits of a number with at most 19 of them, as an integer.
quint64 significand(const NumberText &n, const char *end)
{
    static const quint64 scale[] = {1ull,
                                    10ull,
                                    100ull,
                                    1000ull,
                                    10000ull,
                                    100000ull,
                                    1000000ull,
                                    10000000ull,
                                    100000000ull};
    quint64 digits = 0;
    const auto add = [&digits, end](const char *s, qsizetype count) {
        for (; count > 8; s += 8, count -= 8)
            digits = digits * scale[8] + digitsValue(s, 8, end);
        digits = digits * scale[count] + digitsValue(s, count, end);
    };
    add(n.integer, n.point - n.integer);
    if (n.point < n.exponent)
        add(n.point + 1, n.exponent - n.point - 1);
    return digits;
}

// Whether Qt writes a decimal with exactly these significant digits (fraction of them after the
// point, the last not zero) as it is written: they must be the shortest that read back as the
// double d they read as and, of that length, the nearest to it. Told with exact integer
// arithmetic, where reading and writing the double would cost several times as much. With
// d = m * 2^k and D = d * 10^fraction = 2m * 5^fraction / 2^(shift + 1), the digits as an
// integer lie within half a gap between doubles of D (5^fraction / 2^(shift + 1)), which makes d
// the double they read as; within 1/2 of D; and neither neighbour with one digit less (a multiple
// of ten) lies within half a gap. d is the quotient of two exact doubles, or one of its
// neighbours. False where that is not certain (ties, the uneven gaps at powers of two, tiny or
// long fractions); the caller then writes the shortest form and compares.
bool writtenShortest(quint64 digits, qsizetype fraction)
{
    static const quint64 powersOfFive[] = {
            1ull,
            5ull,
            25ull,
            125ull,
            625ull,
            3125ull,
            15625ull,
            78125ull,
            390625ull,
            1953125ull,
            9765625ull,
            48828125ull,
            244140625ull,
            1220703125ull,
            6103515625ull,
            30517578125ull,
            152587890625ull,
            762939453125ull,
            3814697265625ull,
            19073486328125ull,
            95367431640625ull,
            476837158203125ull,
            2384185791015625ull,
    };
    static const double powersOfTen[]
            = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (fraction >= qsizetype(std::size(powersOfFive)))
        return false;
    if (digits >> 63)
        return false;
    const double estimate = double(qint64(digits)) / powersOfTen[fraction];
    quint64 bits;
    std::memcpy(&bits, &estimate, sizeof bits);
    const int biased = int(bits >> 52);
    const quint64 mantissa = bits & ((quint64(1) << 52) - 1);
    const int shift = 1075 - biased - int(fraction); // d = m * 2^(biased - 1075)
    // Away from the ends of the exponents and from powers of two, also one double further.
    if (biased == 0 || biased == 0x7FF || mantissa <= 1 || mantissa == (quint64(1) << 52) - 1
        || shift <= 0 || shift > 62)
        return false;
    const qint64 halfGap = qint64(powersOfFive[fraction]);
    const int unitShift = shift + 1; // the last digit is 2^unitShift
    // (digits - D) * 2^unitShift: the products are up to 120 bits long, but they differ by less
    // than 2^63, so their lowest 64 bits tell the difference. Then D of the neighbour where d is
    // not the double they read as: the quotient is at most a double away.
    qint64 difference = qint64((digits << unitShift)
                               - ((mantissa | quint64(1) << 52) * 2) * quint64(halfGap));
    difference -= difference >= halfGap ? 2 * halfGap : 0;
    difference += difference <= -halfGap ? 2 * halfGap : 0;
    // The multiples of ten either side: a shift beyond 53 puts them beyond any half gap.
    const quint64 last = digits % 10;
    const int capped = std::min(unitShift, 53);
    return difference < halfGap && difference > -halfGap
           && quint64(difference < 0 ? -difference : difference) * 2 < quint64(1) << unitShift
           && qint64(last << capped) > halfGap + difference
           && qint64((10 - last) << capped) > halfGap - difference;
}

// The number at first (a sign, then its parts in n), strict JSON; false when there is none.
VESK_INLINE bool readAnyNumber(const char *first, const char *end, NumberText &n)
{
    n.integer = first + (*first == '-');
#if defined(__SSE2__)
    return (end - n.integer >= 32 && readShortNumber(n)) || readNumber(end, n);
#else
    return readNumber(end, n);
#endif
}

// Whether Qt writes the number read into n as it is written, told from its text (and the double
// it reads as, for 16 to 19 significant digits).
VESK_INLINE bool inQtForm(const char *first, const NumberText &n, const char *end)
{
    if (n.point == n.last) // an integer: as it is when it fits in 64 bits, but -0
        return n.point - n.integer <= 18 && (*n.integer != '0' || first == n.integer);
    if (n.exponent[-1] == '0') // Qt writes no trailing zero
        return false;
    if (n.exponent == n.last) {
        // d.ddd, or 0.000ddd where that is shorter than the exponent form. Up to 15 digits
        // every double keeps: the only shortest form is the one given.
        const bool decimalForm = (*n.integer != '0') | (n.zeros <= 2 + (n.count > 1));
        return decimalForm
               && (n.count <= 15
                   || (n.count <= 19
                       && writtenShortest(significand(n, end), n.exponent - n.point - 1)));
    }
    // d.ddde-xx, too small for the decimal form
    return n.point - n.integer == 1 && *n.integer != '0' && n.count <= 15
           && n.last - n.exponent == 4 && n.exponent[0] == 'e' && n.exponent[1] == '-'
           && (n.exponent[2] - '0') * 10 + (n.exponent[3] - '0') >= 4 + (n.count > 1);
}

#if defined(__SSE2__)
// 64 bytes as bit masks, bit i for byte i: what tells a list of numbers.
struct NumberWindow
{
    quint64 digits, zeros, lowDigits, commas, blanks, minus, points, es;

    VESK_INLINE explicit NumberWindow(const char *at)
    {
        __m128i b[4];
        for (int i = 0; i < 4; ++i)
            b[i] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at + 16 * i));
        const auto bits = [&b](auto test) {
            return quint64(unsigned(_mm_movemask_epi8(test(b[0]))))
                   | quint64(unsigned(_mm_movemask_epi8(test(b[1])))) << 16
                   | quint64(unsigned(_mm_movemask_epi8(test(b[2])))) << 32
                   | quint64(unsigned(_mm_movemask_epi8(test(b[3])))) << 48;
        };
        const auto equal = [&bits](char c) {
            const __m128i value = _mm_set1_epi8(c);
            return bits([value](__m128i x) { return _mm_cmpeq_epi8(x, value); });
        };
        const auto within = [&bits](char low, char high) { // unsigned x - low <= high - low
            const __m128i base = _mm_set1_epi8(low);
            const __m128i range = _mm_set1_epi8(char(high - low));
            return bits([base, range](__m128i x) {
                const __m128i offset = _mm_sub_epi8(x, base);
                return _mm_cmpeq_epi8(_mm_min_epu8(offset, range), offset);
            });
        };
        digits = within('0', '9');
        lowDigits = within('0', '4');
        zeros = equal('0');
        commas = equal(',');
        minus = equal('-');
        points = equal('.');
        es = equal('e');
        blanks = equal(' ');
        // Signed: below 0x21 holds every control character, and every byte from 0x80 on.
        const quint64 low = bits([](__m128i x) { return _mm_cmplt_epi8(x, _mm_set1_epi8(0x21)); });
        if (low != blanks)
            blanks |= equal('\n') | equal('\r') | equal('\t');
    }
};

#if defined(VESK_WIDE_VECTORS)
// The same masks from two 32-byte registers.
#define VESK_AVX2 __attribute__((target("avx2")))
VESK_AVX2 inline quint64 joined(__m256i low, __m256i high)
{
    return quint64(unsigned(_mm256_movemask_epi8(low)))
           | quint64(unsigned(_mm256_movemask_epi8(high))) << 32;
}
VESK_AVX2 inline quint64 equalBytes(__m256i low, __m256i high, char c)
{
    const __m256i value = _mm256_set1_epi8(c);
    return joined(_mm256_cmpeq_epi8(low, value), _mm256_cmpeq_epi8(high, value));
}
VESK_AVX2 inline quint64 bytesWithin(__m256i low, __m256i high, char from, char to)
{
    const __m256i base = _mm256_set1_epi8(from);
    const __m256i range = _mm256_set1_epi8(char(to - from));
    const __m256i lowOffset = _mm256_sub_epi8(low, base);
    const __m256i highOffset = _mm256_sub_epi8(high, base);
    return joined(_mm256_cmpeq_epi8(_mm256_min_epu8(lowOffset, range), lowOffset),
                  _mm256_cmpeq_epi8(_mm256_min_epu8(highOffset, range), highOffset));
}

struct NumberWindowAvx2
{
    quint64 digits, zeros, lowDigits, commas, blanks, minus, points, es;

    VESK_AVX2 explicit NumberWindowAvx2(const char *at)
    {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at + 32));
        digits = bytesWithin(low, high, '0', '9');
        lowDigits = bytesWithin(low, high, '0', '4');
        zeros = equalBytes(low, high, '0');
        commas = equalBytes(low, high, ',');
        minus = equalBytes(low, high, '-');
        points = equalBytes(low, high, '.');
        es = equalBytes(low, high, 'e');
        blanks = equalBytes(low, high, ' ');
        const __m256i space = _mm256_set1_epi8(0x21);
        const quint64 controls
                = joined(_mm256_cmpgt_epi8(space, low), _mm256_cmpgt_epi8(space, high));
        if (controls != blanks)
            blanks |= equalBytes(low, high, '\n') | equalBytes(low, high, '\r')
                      | equalBytes(low, high, '\t');
    }
};

// The same masks, each from one comparison of all 64 bytes.
#define VESK_AVX512 __attribute__((target("avx512bw")))
VESK_AVX512 inline quint64 equalBytes(__m512i bytes, char c)
{
    return _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(c));
}

struct NumberWindowAvx512
{
    quint64 digits, zeros, lowDigits, commas, blanks, minus, points, es;

    VESK_AVX512 explicit NumberWindowAvx512(const char *at)
    {
        const __m512i bytes = _mm512_loadu_si512(at);
        const __m512i digit = _mm512_sub_epi8(bytes, _mm512_set1_epi8('0'));
        digits = _mm512_cmple_epu8_mask(digit, _mm512_set1_epi8(9));
        lowDigits = _mm512_cmple_epu8_mask(digit, _mm512_set1_epi8(4));
        zeros = equalBytes(bytes, '0');
        commas = equalBytes(bytes, ',');
        minus = equalBytes(bytes, '-');
        points = equalBytes(bytes, '.');
        es = equalBytes(bytes, 'e');
        blanks = equalBytes(bytes, ' ');
        const quint64 controls = _mm512_cmplt_epi8_mask(bytes, _mm512_set1_epi8(0x21));
        if (controls != blanks)
            blanks |= equalBytes(bytes, '\n') | equalBytes(bytes, '\r') | equalBytes(bytes, '\t');
    }
};

// Drops the blanks of 64 bytes at a time, each block written with one 64-byte store that the next
// overwrites in part, while a block and room for its store are left; from moves on.
__attribute__((target("avx512vbmi2,avx512bw"))) char *squeezeBlocks(const char *&from,
                                                                    const char *inEnd,
                                                                    char *to,
                                                                    char *last)
{
    const __m512i blank = _mm512_set1_epi8(' ');
    while (inEnd - from >= 64 && last - to >= 64) {
        const __m512i bytes = _mm512_loadu_si512(from);
        const __mmask64 keep = _mm512_cmpgt_epu8_mask(bytes, blank);
        _mm512_storeu_si512(to, _mm512_maskz_compress_epi8(keep, bytes));
        to += __builtin_popcountll(keep);
        from += 64;
    }
    return to;
}
#endif

// Bits from..63; bits below to; bits up to to, itself too.
VESK_INLINE quint64 bitsFrom(int from)
{
    return ~quint64(0) << from;
}
VESK_INLINE quint64 bitsBelow(int to)
{
    return (quint64(1) << to) - 1;
}
VESK_INLINE quint64 bitsThrough(int to)
{
    return (quint64(2) << to) - 1;
}
VESK_INLINE int highestBit(quint64 bits)
{
    return 63 - __builtin_clzll(bits);
}
// Without the instruction, __builtin_popcountll is a call.
VESK_INLINE int bitCount(quint64 bits)
{
#if defined(__POPCNT__)
    return __builtin_popcountll(bits);
#else
    bits -= (bits >> 1) & 0x5555555555555555ull;
    bits = (bits & 0x3333333333333333ull) + ((bits >> 2) & 0x3333333333333333ull);
    bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return int((bits * 0x0101010101010101ull) >> 56);
#endif
}

// The value of 16 digits, one a byte (0 to 9), the most significant first.
VESK_INLINE quint64 sixteenDigits(__m128i digits)
{
    const __m128i pairs = _mm_add_epi16(
            _mm_mullo_epi16(_mm_and_si128(digits, _mm_set1_epi16(0x00FF)), _mm_set1_epi16(10)),
            _mm_srli_epi16(digits, 8));
    const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064)); // 100 a + b
    const __m128i eights
            = _mm_add_epi64(_mm_mul_epu32(fours, _mm_set1_epi32(10000)), _mm_srli_epi64(fours, 32));
    return quint64(_mm_cvtsi128_si64(eights)) * 100000000
           + quint64(_mm_cvtsi128_si64(_mm_unpackhi_epi64(eights, eights)));
}

// Whether Qt writes a decimal of 17 bytes or more without an exponent as it is written, where its
// shape is right (see numbersInQtForm): digits from d0, the point at point, the end at e, in
// a window with 32 bytes to spare after it. The significant digits are read 16 at a time, the
// point taken out where it falls among them.
VESK_INLINE bool longDecimalInQtForm(const char *w, int d0, int point, int e, int zeros)
{
    const int fraction = e - point - 1;
    const int all = e - d0 - 1; // digits, leading zeros of 0.000ddd too
    const int count = all - (w[d0] == '0' ? 1 + zeros : 0);
    if (count <= 15)
        return true;
    if (count > 19 || point - d0 >= 16 || all > 20)
        return false;
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i *>(w + d0));
    const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i *>(w + d0 + 1));
    const __m128i pastPoint = _mm_cmpgt_epi8(index, _mm_set1_epi8(char(point - d0 - 1)));
    const __m128i first16 = _mm_sub_epi8(
            _mm_or_si128(_mm_and_si128(pastPoint, after), _mm_andnot_si128(pastPoint, before)),
            _mm_set1_epi8('0'));
    static const quint64 scale[] = {1, 10, 100, 1000, 10000};
    const int rest = all - 16; // 0 to 4, after the point
    quint64 tail = 0;
    for (int i = 0; i < rest; ++i)
        tail = tail * 10 + quint64(w[d0 + 17 + i] - '0');
    return writtenShortest(sixteenDigits(first16) * scale[rest] + tail, fraction);
}

// The numbers in Qt's form from first on (which holds the first byte of one), with commas and
// white space after the commas between them: the end of the last one, and the white space in
// blanks. A number is taken only when a comma, white space or ']' follows it, and none that
// starts at or after limit.
//
// Told 64 bytes at a time: what sets a number apart is found for all bytes at once, with bit
// operations on masks of the bytes, and only the numbers where something is found are looked at
// one by one: those of 17 bytes or more, and those of an exponent of 0 to 4, which are read as
// numbers; and where the list ends. The last number that starts in a window is told in the
// next one, which starts there, unless it is the only one.
template<typename Window>
VESK_INLINE const char *numbersWith(const char *first,
                                    const char *end,
                                    const char *limit,
                                    qsizetype &blanks,
                                    const std::atomic_bool *stop)
{
    constexpr int window = 64;
    constexpr int slack = 32; // readAnyNumber() looks at 32 bytes
    const char *taken = first;
    qsizetype spaces = 0; // between the numbers taken
    qsizetype gap = 0;    // after the comma after the last one
    const char *at = first;
    char copy[window + slack];
    const auto done = [&] {
        blanks = spaces;
        return taken;
    };
    for (;;) {
        if (stop && stop->load(std::memory_order_relaxed))
            return done();
        const char *w = at;
        const char *wEnd = end;
        if (end - at < window + slack) {
            std::memset(copy, 0, sizeof copy); // no number goes on to a zero byte
            std::memcpy(copy, at, size_t(std::max<qsizetype>(end - at, 0)));
            w = copy;
            wEnd = copy + sizeof copy;
        }
        const Window m(w);
        const quint64 token = m.digits | m.minus | m.points | m.es;
        const quint64 starts = token & ~(token << 1);
        const quint64 ends = ~token & (token << 1); // the byte after each number
        const quint64 firstDigits = (starts & ~m.minus) | ((starts & m.minus) << 1);
        // The byte after a point's digits, and after a comma's white space.
        const quint64 fractionEnds = (m.digits + (m.points << 1)) & ~m.digits;
        const quint64 afterCommas = (m.blanks + ((m.commas & ends) << 1)) & ~m.blanks;
        // The numbers whose first digit makes an exponent wrong: another digit after it, or 0.
        const quint64 noExponent = firstDigits & ((m.digits >> 1) | m.zeros);
        const quint64 zeroPoint = firstDigits & m.zeros & (m.points >> 1);
        const quint64 zeroPointZeros = zeroPoint & (m.zeros >> 2) & (m.zeros >> 3) & (m.zeros >> 4);
        const quint64 exponentDigit = ((m.es << 2) & m.zeros) << 1; // the second, after "e-0"
        // Where a number is not in Qt's form, marked at or before the byte after it: a '-' but
        // first or after 'e', or without a digit after it; a point without digits on both sides,
        // a second point, a zero at the end of a fraction; an exponent but 'e', '-' and two
        // digits, or with more than one digit before it, or 0; a leading zero; -0; 0.0000 and
        // 0.000d, which Qt writes as exponents.
        const quint64 wrong = (m.minus & ~(starts | (m.es << 1))) | ((m.minus << 1) & ~m.digits)
                              | (m.points & ~(m.digits << 1)) | ((m.points << 1) & ~m.digits)
                              | (fractionEnds & m.points) | ((fractionEnds >> 1) & m.zeros)
                              | (m.es & ~(m.digits << 1)) | ((m.es << 1) & ~m.minus)
                              | ((m.es << 2) & ~m.digits) | ((m.es << 3) & ~m.digits)
                              | ((m.es << 4) & token) | (token & ~(token + noExponent) & m.es)
                              | (firstDigits & m.zeros & (m.digits >> 1))
                              | (((starts & m.minus) << 1) & m.zeros & ~(token >> 1))
                              | (zeroPointZeros & (m.zeros >> 5))
                              | (zeroPointZeros & (m.digits >> 5) & ~(token >> 6));
        // Numbers of 17 bytes or more: decimals of 16 digits or more are told here, each from
        // the masks and its digits; the others, and exponents of 0 to 4, are read as numbers.
        quint64 lengthy = token & (token << 1);
        lengthy &= lengthy << 2;
        lengthy &= lengthy << 4;
        lengthy &= lengthy << 8;
        lengthy &= token << 16;
        quint64 toRead = exponentDigit & m.lowDigits;
        for (quint64 longStarts = (lengthy & ~(lengthy << 1)) >> 16; longStarts;
             longStarts &= longStarts - 1) {
            const int found = __builtin_ctzll(longStarts);
            const quint64 after = ends & bitsFrom(found);
            if (after == 0)
                break; // it goes on past the window
            const int e = __builtin_ctzll(after);
            const quint64 through = bitsFrom(found) & bitsBelow(e);
            const quint64 pointIn = m.points & through;
            const int point = __builtin_ctzll(pointIn | (quint64(1) << e));
            const bool decimal = pointIn != 0 && (m.es & through) == 0;
            if (!(decimal
                  && longDecimalInQtForm(w,
                                         found + int((m.minus >> found) & 1),
                                         point,
                                         e,
                                         __builtin_ctzll(~(m.zeros >> (point + 1))))))
                toRead |= quint64(1) << found;
        }
        // Where the list may end: after a number not followed by a comma; after a comma, at
        // anything but white space and a number; at a number from limit on.
        quint64 events = wrong | toRead | (ends & ~m.commas) | (afterCommas & ~starts);
        if (limit - at < window)
            events |= starts & bitsFrom(int(std::max<qsizetype>(limit - at, 0)));

        const quint64 nonBlank = ~m.blanks;
        if (nonBlank == 0) {
            gap += window;
            at += window;
            continue;
        }
        int t = __builtin_ctzll(nonBlank); // the next number
        gap += t;
        if (starts == 0)
            return done();
        const int last = highestBit(starts); // the last number that starts here
        // The numbers from t up to before the one at to: all in Qt's form, each followed by a
        // comma.
        const auto take = [&](int to) {
            const int lastEnd = highestBit(ends & bitsBelow(to));
            taken = at + lastEnd;
            spaces += gap + bitCount(m.blanks & bitsFrom(t) & bitsBelow(lastEnd));
            gap = bitCount(m.blanks & bitsFrom(lastEnd) & bitsBelow(to));
        };
        for (;;) {
            if (!((starts >> t) & 1))
                return done();
            const quint64 ahead = events & bitsFrom(t) & bitsBelow(last);
            if (t < last && ahead == 0) {
                take(last);
                at += last;
                break;
            }
            // The one where something was found, after those before it.
            const int found
                    = t < last ? highestBit(starts & bitsThrough(__builtin_ctzll(ahead))) : t;
            if (found > t)
                take(found);
            if (at + found >= limit)
                return done();
            const quint64 after = ends & bitsFrom(found);
            if (after == 0) { // it goes on past the window
                if (found == 0)
                    return done();
                at += found;
                break;
            }
            const int e = __builtin_ctzll(after);
            const quint64 through = bitsFrom(found) & bitsThrough(e);
            if (wrong & through)
                return done();
            NumberText n;
            if ((toRead & through)
                && !(readAnyNumber(w + found, wEnd, n) && n.last == w + e
                     && inQtForm(w + found, n, wEnd)))
                return done();
            const char next = w[e];
            if (next != ',' && next != ']' && !((m.blanks >> e) & 1))
                return done();
            taken = at + e;
            spaces += gap;
            gap = 0;
            if (next != ',')
                return done();
            const quint64 following = e == 63 ? 0 : nonBlank & bitsFrom(e + 1);
            if (following == 0) { // white space to the end of the window
                gap = window - 1 - e;
                at += window;
                break;
            }
            t = __builtin_ctzll(following);
            gap = t - e - 1;
        }
    }
}

const char *numbersSse2(const char *first,
                        const char *end,
                        const char *limit,
                        qsizetype &blanks,
                        const std::atomic_bool *stop)
{
    return numbersWith<NumberWindow>(first, end, limit, blanks, stop);
}

#if defined(VESK_WIDE_VECTORS)
__attribute__((target("avx2,bmi,bmi2,lzcnt,popcnt"))) const char *numbersAvx2(
        const char *first,
        const char *end,
        const char *limit,
        qsizetype &blanks,
        const std::atomic_bool *stop)
{
    return numbersWith<NumberWindowAvx2>(first, end, limit, blanks, stop);
}

__attribute__((target("avx512bw,avx2,bmi,bmi2,lzcnt,popcnt"))) const char *numbersAvx512(
        const char *first,
        const char *end,
        const char *limit,
        qsizetype &blanks,
        const std::atomic_bool *stop)
{
    return numbersWith<NumberWindowAvx512>(first, end, limit, blanks, stop);
}
#endif

using NumbersReader = const char *(*)(const char *,
                                      const char *,
                                      const char *,
                                      qsizetype &,
                                      const std::atomic_bool *);

// The reader for the registers asked for, null when this processor has not got them.
NumbersReader numbersReader(CanonicalJson::Vectors vectors)
{
#if defined(VESK_WIDE_VECTORS)
    __builtin_cpu_init();
    const bool bits = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2")
                      && __builtin_cpu_supports("popcnt");
    const bool wide = bits && __builtin_cpu_supports("avx2");
    const bool widest = wide && __builtin_cpu_supports("avx512bw");
    switch (vectors) {
    case CanonicalJson::Vectors::Widest:
        return widest ? numbersAvx512 : wide ? numbersAvx2 : numbersSse2;
    case CanonicalJson::Vectors::Bits512:
        return widest ? numbersAvx512 : nullptr;
    case CanonicalJson::Vectors::Bits256:
        return wide ? numbersAvx2 : nullptr;
    case CanonicalJson::Vectors::Bits128:
        break;
    }
#else
    if (vectors != CanonicalJson::Vectors::Widest && vectors != CanonicalJson::Vectors::Bits128)
        return nullptr;
#endif
    return numbersSse2;
}

std::atomic<NumbersReader> chosenNumbersReader{nullptr};

// Whether blanks are squeezed out 64 bytes at a time: where the processor can, unless a test
// asked for narrower registers.
bool canSqueezeBlocks(CanonicalJson::Vectors vectors)
{
#if defined(VESK_WIDE_VECTORS)
    __builtin_cpu_init();
    return (vectors == CanonicalJson::Vectors::Widest || vectors == CanonicalJson::Vectors::Bits512)
           && __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("avx512bw")
           && __builtin_cpu_supports("popcnt");
#else
    Q_UNUSED(vectors);
    return false;
#endif
}
std::atomic_bool squeezingBlocks{canSqueezeBlocks(CanonicalJson::Vectors::Widest)};

// With the registers chosen, the widest this processor has unless a test asked for others; the
// masks are the same either way.
const char *numbersInQtForm(const char *first,
                            const char *end,
                            const char *limit,
                            qsizetype &blanks,
                            const std::atomic_bool *stop = nullptr)
{
    NumbersReader numbers = chosenNumbersReader.load(std::memory_order_relaxed);
    if (!numbers) {
        numbers = numbersReader(CanonicalJson::Vectors::Widest);
        chosenNumbersReader.store(numbers, std::memory_order_relaxed);
    }
    return numbers(first, end, limit, blanks, stop);
}
#else
// The same, one number at a time.
const char *numbersInQtForm(const char *first,
                            const char *end,
                            const char *limit,
                            qsizetype &blanks,
                            const std::atomic_bool *stop = nullptr)
{
    const auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
    const char *taken = first;
    qsizetype spaces = 0;
    qsizetype gap = 0;
    for (const char *q = first; q < limit && !(stop && stop->load(std::memory_order_relaxed));) {
        NumberText n;
        if (!readAnyNumber(q, end, n) || !inQtForm(q, n, end) || n.last == end
            || !(*n.last == ',' || *n.last == ']' || blank(*n.last)))
            break;
        taken = n.last;
        spaces += gap;
        if (*n.last != ',')
            break;
        const char *const afterComma = n.last + 1;
        for (q = afterComma; q < end && blank(*q);)
            ++q;
        gap = q - afterComma;
    }
    blanks = spaces;
    return taken;
}
#endif

// A thread for work the caller can do itself as well: none (not joinable) when the system cannot
// start one, rather than the exception std::thread throws then, which would end the program in
// the middle of an answer.
template<typename Work>
std::thread helperThread(Work &&work)
{
    try {
        return std::thread(std::forward<Work>(work));
    } catch (const std::system_error &) {
        return std::thread();
    }
}

} // namespace

bool CanonicalJson::useVectors(Vectors vectors)
{
#if defined(__SSE2__)
    const NumbersReader reader = numbersReader(vectors);
    if (reader) {
        chosenNumbersReader.store(reader, std::memory_order_relaxed);
        squeezingBlocks.store(canSqueezeBlocks(vectors), std::memory_order_relaxed);
    }
    return reader != nullptr;
#else
    return vectors == Vectors::Widest;
#endif
}

QByteArray keepOpeningMarks(const QByteArray &text)
{
    // After a quote: a string's or a key's opening one, an escaped one (where the escape means
    // the same character), or a closing one, where the mark is an error either way.
    static const char mark[] = "\"\xEF\xBB\xBF";
    if (!text.contains(mark))
        return text;
    return QByteArray(text).replace(mark, "\"\\ufeff");
}

bool CanonicalJson::start(const char *data, qsizetype size)
{
    input = data;
    end = data + size;
    p = data;
    own.clear();
    out.clear();
    gapStart = gapEnd = nullptr;
    stack.clear();
    top.clear();
    barrier = false;
    overflow = false;
    // Bounds on what a scan holds beside the input; text that needs more takes the ordinary way.
    ownLimit = 2 * size + 65536;
    pieceLimit = size_t(size / 16 + 1024);
    // What an earlier, larger scan left would count against this one's bound.
    if (own.capacity() > size_t(ownLimit))
        own.release();
    if (out.capacity() > pieceLimit)
        std::vector<Piece>().swap(out);
    skipSpace();
    startRuns();
    return p < end;
}

bool CanonicalJson::readDocument(const char *data, qsizetype size)
{
    const bool read = start(data, size) && (*p == '{' || *p == '[') && value(0);
    stopRuns();
    skipSpace();
    return read && p == end && !overflow;
}

bool CanonicalJson::readObject(const char *data, qsizetype size)
{
    const bool read = start(data, size) && topObject();
    stopRuns();
    return read;
}

bool CanonicalJson::topObject()
{
    if (*p != '{')
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
    for (qsizetype i = first; i < last; ++i) {
        const Piece &piece = out[size_t(i)];
        if (piece.dropped != 0) {
            squeeze(piece, at);
            at += piece.size;
        } else {
            put(bytes(piece), piece.size);
        }
    }
    put(after.data(), after.size());
    return joined;
}

void CanonicalJson::squeeze(const Piece &piece, char *to) const
{
    const char *const from = bytes(piece);
    squeezeRange(from, from + piece.size + piece.dropped, to, to + piece.size);
}

// Forwards: the bytes may be squeezed where they are. Those at or below the space are all white
// space between tokens. Writes nothing at or past last (in place: nothing past inEnd), and
// returns the end of what it wrote.
char *CanonicalJson::squeezeRange(const char *from, const char *inEnd, char *to, char *last)
{
    const auto bytewise = [&to, last](const char *at, const char *stop) {
        for (; at < stop && to < last; ++at) {
            *to = *at;
            to += static_cast<unsigned char>(*at) > ' ';
        }
        return at;
    };
#if defined(VESK_WIDE_VECTORS)
    if (squeezingBlocks.load(std::memory_order_relaxed))
        to = squeezeBlocks(from, inEnd, to, last);
#endif
#if defined(__SSE2__)
    // 16 bytes at a time, each stretch between blanks written with one 16-byte store that the
    // next overwrites in part. Where the piece is squeezed in place a store reaches up to 32
    // bytes past the block's start, so the next block is read before the stores.
    if (inEnd - from >= 16 && last - to >= 32) {
        const __m128i blankBelow = _mm_set1_epi8(0x21);
        alignas(16) char held[32];
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
        while (inEnd - from >= 32 && last - to >= 32) {
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + 16));
            const unsigned blank = unsigned(_mm_movemask_epi8(_mm_cmplt_epi8(block, blankBelow)));
            if (blank == 0) {
                _mm_storeu_si128(reinterpret_cast<__m128i *>(to), block);
                to += 16;
            } else {
                _mm_store_si128(reinterpret_cast<__m128i *>(held), block);
                _mm_store_si128(reinterpret_cast<__m128i *>(held + 16), next);
                for (unsigned keep = ~blank & 0xFFFF; keep != 0;) {
                    const int at = __builtin_ctz(keep);
                    const int run = __builtin_ctz((blank >> at) | (0x10000u >> at));
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(to),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i *>(held + at)));
                    to += run;
                    keep &= ~0u << (at + run);
                }
            }
            from += 16;
            block = next;
        }
        // The block read last is held here only: in place, its bytes may be overwritten.
        _mm_store_si128(reinterpret_cast<__m128i *>(held), block);
        bytewise(held, held + 16);
        from += 16;
    }
#endif
    bytewise(from, inEnd);
    return to;
}

void CanonicalJson::squeezeInPlace(const Piece &piece) const
{
    char *const from = const_cast<char *>(bytes(piece));
    char *const inEnd = from + piece.size + piece.dropped;
    if (piece.dropped == 0)
        return; // it may hold a string with its own spaces
    if (inEnd - from < twoThreadsFrom) {
        squeeze(piece, from);
        return;
    }
    // Every blank goes, wherever it is: each half is squeezed on its own, towards its own start,
    // and the second is then moved behind the first (a copy costs a fraction of a squeeze).
    char *const half = from + (inEnd - from) / 2;
    char *secondEnd = nullptr;
    std::thread second = helperThread(
            [half, inEnd, &secondEnd] { secondEnd = squeezeRange(half, inEnd, half, inEnd); });
    char *const firstEnd = squeezeRange(from, half, from, half);
    if (second.joinable())
        second.join();
    else
        secondEnd = squeezeRange(half, inEnd, half, inEnd);
    std::memmove(firstEnd, half, size_t(secondEnd - half));
}

bool CanonicalJson::keyIs(const Member &member, const char *key, qsizetype size) const
{
    return member.key.size == size && std::memcmp(bytes(member.key), key, size_t(size)) == 0;
}

void CanonicalJson::trim()
{
    if (own.capacity() > (1 << 20))
        own.release();
    if (out.capacity() > 65536)
        std::vector<Piece>().swap(out);
    if (moved.capacity() > 65536)
        std::vector<Piece>().swap(moved);
    if (stack.capacity() > 65536)
        std::vector<ObjectMember>().swap(stack);
}

void CanonicalJson::startRuns()
{
    runs.clear();
    runIndex = 0;
    nextRunFrom = end; // no element starts there
    if (end - input < twoThreadsFrom)
        return;
    const char *const half = input + (end - input) / 2;
    runsStop = false;
    runFinder = helperThread([this, half] { findRuns(half, end, shortestRun, runs, runsStop); });
    if (runFinder.joinable())
        nextRunFrom = half;
}

void CanonicalJson::stopRuns()
{
    if (runFinder.joinable()) {
        runsStop = true; // a scan that ends early does not wait for the rest of the search
        runFinder.join();
    }
    if (runs.capacity() > 4096)
        std::vector<Run>().swap(runs);
}

void CanonicalJson::findRuns(const char *from,
                             const char *end,
                             qsizetype shortest,
                             std::vector<Run> &runs,
                             const std::atomic_bool &stop)
{
    const auto blank = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
    const size_t maxRuns = size_t((end - from) / shortest + 1);
    for (const char *at = from; !stop.load(std::memory_order_relaxed);) {
        const char *const comma = static_cast<const char *>(std::memchr(at, ',', size_t(end - at)));
        if (!comma)
            return;
        const char *first = comma + 1;
        while (first < end && blank(*first))
            ++first;
        qsizetype blanks = 0;
        const char *const last
                = first < end ? numbersInQtForm(first, end, end, blanks, &stop) : first;
        if (last - first >= shortest) {
            if (runs.size() == maxRuns)
                return;
            runs.push_back({first, last, blanks});
        }
        at = last > first ? last : comma + 1;
    }
}

bool CanonicalJson::numbers()
{
    qsizetype blanks = 0;
    const char *const last = numbersInQtForm(p, end, nextRunFrom, blanks);
    if (last == p)
        return false;
    emitRun(Run{p, last, blanks});
    p = last;
    return true;
}

bool CanonicalJson::takeRun()
{
    if (runFinder.joinable())
        runFinder.join();
    while (runIndex < runs.size() && runs[runIndex].from < p)
        ++runIndex;
    const bool found = runIndex < runs.size() && runs[runIndex].from == p;
    if (found) {
        emitRun(runs[runIndex]);
        p = runs[runIndex++].to;
    }
    nextRunFrom = runIndex < runs.size() ? runs[runIndex].from : end;
    return found;
}

// As the numbers and commas would have been emitted one by one: joined to a piece of them before
// it, the white space to be dropped when it is written.
void CanonicalJson::emitRun(const Run &run)
{
    const qsizetype size = run.to - run.from - run.blanks;
    if (run.blanks == 0) {
        emitToken(run.from, size);
        return;
    }
    if (!barrier && !out.empty() && !out.back().own && out.back().tokens) {
        Piece &last = out.back();
        const qsizetype lastEnd = last.offset + last.size + last.dropped;
        const qsizetype gap = lastEnd == run.from - input ? 0
                              : run.from == gapEnd && lastEnd == gapStart - input
                                      ? gapEnd - gapStart
                                      : -1;
        if (gap >= 0 && last.dropped + gap + run.blanks <= 0x7FFFFFFF) {
            last.size += size;
            last.dropped += qint32(gap + run.blanks);
            return;
        }
    }
    appendWhole(Piece{run.from - input, size, false, true, qint32(run.blanks)});
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
            appendPiece(it->keyOffset, it->keySize, true);
            emitOwn("\":", 2);
        }
        for (qsizetype i = it->first; i < it->end; ++i) {
            const Piece &piece = moved[size_t(i - base)];
            if (piece.dropped != 0)
                appendWhole(piece);
            else
                appendPiece(piece.offset, piece.size, piece.own);
        }
    }
    emitChar('}', close);
    stack.resize(firstMember);
    return true;
}

bool CanonicalJson::array(int depth)
{
    emitChar('[', p++);
    skipSpace();
    if (p == end)
        return false;
    if (*p == ']') {
        emitChar(']', p++);
        return true;
    }
    for (;;) {
        // Numbers without the detour through value(): arrays of coordinates are long.
        // '-', '.', '/' and the digits in one comparison: value() takes '.' and '/' to number()
        // as well.
        const bool numeric = static_cast<unsigned char>(*p - '-') <= '9' - '-';
        const bool taken = p >= nextRunFrom ? takeRun() : numeric && numbers();
        if (!(taken || (numeric ? number() : value(depth + 1))) || overflow)
            return false;
        if (p < end && *p == ',') { // the usual case, a comma right after the element
            emitToken(p++, 1);
            const char *const gap = p;
            if (p < end && static_cast<unsigned char>(*p) <= ' ')
                skipSpace();
            if (p == end)
                return false;
            if (p != gap) {
                gapStart = gap;
                gapEnd = p;
            }
            continue;
        }
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
        if (p == end)
            return false;
    }
}

// Qt writes a string's characters as they are, except the quote, the backslash and control
// characters (escaped) and lone surrogates (\uxxxx). Stretches in that form are referred to.
bool CanonicalJson::string()
{
    const char *run = p++;
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
            if (overflow)
                return false; // the bound holds inside a long string too
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
            if (overflow)
                return false;
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
        if (overflow)
            return false;
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
    put(text, p - text);
    for (;;) {
        if (p >= end || overflow)
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
            put(from, p - from);
            continue;
        }
        if (c != '\\') {
            put(p, 1);
            ++p;
            continue;
        }
        if (end - p < 2)
            return false;
        if (p[1] == '/') {
            put("/", 1);
            p += 2;
            continue;
        }
        unsigned code;
        if (p[1] != 'u' || end - p < 6 || !hex4(p + 2, code) || code < 0x20 || code == '"'
            || code == '\\' || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        char written[4];
        put(written, encodeUtf8(code, written));
        p += 6;
    }
}

// A number, strict JSON, written as Qt writes it: Qt reads an integer that fits in 64 bits as
// that integer, anything else as a double. Most numbers are already in that form and are
// referred to (see inQtForm); the others are read with from_chars and written anew.
bool CanonicalJson::number()
{
    const char *const first = p;
    NumberText n;
    if (!readAnyNumber(first, end, n))
        return false;
    p = n.last;
    if (inQtForm(first, n, end)) {
        emitToken(first, n.last - first);
        return true;
    }
    return rewriteNumber(first, n.last, n.point == n.last);
}

// A number not told to be in Qt's form from its text: read and written anew. Apart, so that the
// usual numbers do not pay for its frame.
bool CanonicalJson::rewriteNumber(const char *first, const char *q, bool integer)
{
    char written[numberRoom];
    int size = -1;
    if (integer) {
        qint64 whole;
        const auto parsed = std::from_chars(first, q, whole);
        if (parsed.ec == std::errc() && parsed.ptr == q)
            size = int(std::to_chars(written, written + numberRoom, whole).ptr - written);
    }
    if (size < 0) {
        double value;
        const auto parsed = std::from_chars(first, q, value);
        if (parsed.ec != std::errc() || parsed.ptr != q)
            return false; // beyond the range of a double, which Qt refuses as well
        size = writeDouble(value, written);
    }
    if (size == q - first && std::memcmp(written, first, size_t(size)) == 0)
        emitToken(first, size);
    else
        emitOwn(written, size);
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

void CanonicalJson::emitInputApart(const char *from, qsizetype size)
{
    const qsizetype offset = from - input;
    if (!barrier && !out.empty()) {
        Piece &last = out.back();
        // A short one after the bytes written anew, copied behind them (see appendPiece):
        // each number of a far end that writes white space between them.
        if (last.own && size < shortPiece && last.offset + last.size == qsizetype(own.size())) {
            // 32 bytes copied at once where both ends have room, instead of a call per number
            if (size <= 32 && end - from >= 32 && own.capacity() - own.size() >= 32)
                own.appendShort(from, size);
            else if (!put(from, size))
                return;
            last.size += size;
            return;
        }
    }
    if (size != 0)
        appendPiece(offset, size, false);
}

void CanonicalJson::emitTokenApart(const char *from, qsizetype size)
{
    if (from == gapEnd && !barrier && !out.empty() && !overflow) {
        // Tokens from here on are referred to, white space and all, rather than copied without
        // it: a long array written with spaces is not held twice. After bytes written anew (a
        // number rewritten) only while pieces are plenty, so that numbers that need rewriting
        // and numbers that do not, in turn, cannot use up the pieces.
        const Piece &last = out.back();
        if (last.own ? out.size() < pieceLimit / 2
                     : last.offset + last.size + last.dropped == gapStart - input) {
            appendWhole(Piece{from - input, size, false, true, 0});
            return;
        }
    }
    emitInputApart(from, size);
}

void CanonicalJson::emitOwn(const char *data, qsizetype size)
{
    if (size == 0)
        return;
    const qsizetype offset = qsizetype(own.size());
    if (put(data, size))
        appendPiece(offset, size, true);
}

void CanonicalJson::emitChar(char c, const char *at)
{
    if (at)
        emitInput(at, 1);
    else
        emitOwn(&c, 1);
}

// The piece's members come one by one: a Piece written to the stack and read back whole costs a
// stall per call on the way of every number and comma.
void CanonicalJson::appendPiece(qsizetype offset, qsizetype size, bool written)
{
    Piece piece{offset, size, written};
    if (overflow)
        return;
    if (!out.empty() && !barrier) {
        Piece &last = out.back();
        if (last.own == piece.own && last.offset + last.size == piece.offset) {
            last.size += piece.size;
            last.tokens = false;
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
            if (!put(copy, piece.size))
                return;
            if (last.own && last.offset + last.size == piece.offset) {
                last.size += piece.size;
                return;
            }
        }
    }
    barrier = false;
    if (out.size() == out.capacity()) { // grown by hand, so that it never holds more than the bound
        if (out.size() >= pieceLimit) {
            overflow = true;
            return;
        }
        out.reserve(std::min(std::max(2 * out.capacity(), size_t(64)), pieceLimit));
    }
    out.push_back(piece);
}

void CanonicalJson::appendWhole(const Piece &piece)
{
    if (overflow)
        return;
    barrier = false;
    if (out.size() == out.capacity()) {
        if (out.size() >= pieceLimit) {
            overflow = true;
            return;
        }
        out.reserve(std::min(std::max(2 * out.capacity(), size_t(64)), pieceLimit));
    }
    out.push_back(piece);
}

// Appends to the bytes written anew; grown by hand, so that they never hold more than the bound.
bool CanonicalJson::put(const char *data, qsizetype size)
{
    if (size == 0)
        return true;
    const size_t needed = own.size() + size_t(size);
    if (needed > own.capacity()
        && (needed > size_t(ownLimit)
            || !own.reserve(std::min(std::max(2 * own.capacity(), needed), size_t(ownLimit))))) {
        overflow = true;
        return false;
    }
    own.append(data, size_t(size));
    return true;
}

void CanonicalJson::Bytes::release()
{
    std::free(bytes);
    bytes = nullptr;
    used = room = 0;
}

bool CanonicalJson::Bytes::reserve(size_t size)
{
    char *const grown = static_cast<char *>(std::realloc(bytes, size));
    if (!grown)
        return false;
    bytes = grown;
    room = size;
    return true;
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
