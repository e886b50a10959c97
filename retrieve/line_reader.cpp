#include "line_reader.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brimvox::retrieve {

namespace {
constexpr BYTE kCr = 13;
constexpr BYTE kLf = 10;
}  // namespace

size_t findLineBreak(const BYTE* bytes, size_t count) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8(static_cast<char>(kCr));
    const __m128i lf = _mm_set1_epi8(static_cast<char>(kLf));
    for (; i + 16 <= count; i += 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, lf)));
        if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#else
    // Eight bytes at a time: a word holds CR or LF when one of its bytes XOR the pattern is 0.
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    for (; i + 8 <= count; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        uint64_t crs = word ^ (kOnes * kCr);
        uint64_t lfs = word ^ (kOnes * kLf);
        if ((((crs - kOnes) & ~crs) | ((lfs - kOnes) & ~lfs)) & kHighs) break;
    }
#endif
    for (; i < count; ++i) {
        if (bytes[i] == kCr || bytes[i] == kLf) return i;
    }
    return count;
}

LineSpan findLine(const BYTE* data, ULONGLONG size, ULONGLONG begin) {
    LineSpan span{begin, size, size, true};
    if (begin >= size) return span;
    size_t textLength = findLineBreak(data + begin, static_cast<size_t>(size - begin));
    span.textEnd = begin + textLength;
    if (span.textEnd == size) return span;  // no line break before the end
    ULONGLONG partner = span.textEnd + 1;
    if (partner == size) return span;  // a lone break is the last byte: its partner is sought
    span.atEnd = false;
    BYTE first = data[span.textEnd];
    BYTE second = data[partner];
    bool pair = (first == kCr && second == kLf) || (first == kLf && second == kCr);
    // Anything but the partner (the same break again, or text) begins the next line.
    span.next = pair ? partner + 1 : partner;
    return span;
}

LineSpan findLine(const MemoryStream& stream) {
    return findLine(stream.data(), stream.size(), stream.position());
}

bool appendWithoutNuls(TextBuffer& line, const BYTE* data, ULONGLONG begin, ULONGLONG end) {
    while (begin < end) {
        const char* run = reinterpret_cast<const char*>(data + begin);
        auto left = static_cast<size_t>(end - begin);
        const void* nul = std::memchr(run, 0, left);
        size_t length =
            nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - run) : left;
        if (!line.append(run, length)) return false;
        begin += length + (nul != nullptr ? 1 : 0);
    }
    return true;
}

// The reference is taken and dropped through the stream's COM interface, like any holder's.
LineReader::LineReader(MemoryStream* stream) : source(stream) {
    if (source != nullptr) static_cast<IStream*>(source)->AddRef();
}

LineReader::~LineReader() {
    if (source != nullptr) static_cast<IStream*>(source)->Release();
}

bool LineReader::readLine(TextBuffer& line) {
    line.makeEmpty();
    if (source == nullptr) return true;
    LineSpan span = findLine(*source);
    if (!appendWithoutNuls(line, source->data(), span.begin, span.textEnd)) return false;
    source->setPosition(span.next);
    if (span.atEnd) endMet = true;
    return true;
}

void LineReader::skipLine() {
    if (source == nullptr) return;
    LineSpan span = findLine(*source);
    source->setPosition(span.next);
    if (span.atEnd) endMet = true;
}

}  // namespace brimvox::retrieve
