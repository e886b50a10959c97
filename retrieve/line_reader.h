// Splits the bytes of a MemoryStream into text lines. The stream's position is the one shared
// cursor: after a line has been read it stands at the first byte of the next line. The reader
// scans the stream's storage directly and moves the position only once a line has been taken,
// so a line that cannot be stored leaves the cursor where it was.
#pragma once

#include <cstddef>
#include <cstdint>

#include "com_types.h"
#include "memory_stream.h"
#include "text_buffer.h"

namespace brimvox::retrieve {

// Where the line that starts at `begin` lies: its text is [begin, textEnd) (NUL bytes in it are
// dropped by readers), the next line starts at `next`, and `atEnd` tells whether reading it met
// the end of the data.
struct LineSpan {
    ULONGLONG begin;
    ULONGLONG textEnd;
    ULONGLONG next;
    bool atEnd;
};

// A line ends at CR LF, LF CR, a lone CR or a lone LF; in CR CR and LF LF the first byte ends
// the line and the second begins the next one. The end is met when the text runs to the end of
// the data, or when a lone CR or LF is its last byte; a complete pair at the end is not the end.
LineSpan findLine(const BYTE* data, ULONGLONG size, ULONGLONG begin);
// The line at the stream's position; the stream does not move.
LineSpan findLine(const MemoryStream& stream);

// Index of the first CR or LF among `count` bytes, or `count` when there is none.
size_t findLineBreak(const BYTE* bytes, size_t count);

class LineReader {
  public:
    // Holds `stream` (may be null) with a reference of its own.
    explicit LineReader(MemoryStream* stream);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    // Reads the next line, without its line break and its NUL bytes, into `line`. False only
    // when the line's storage could not grow; the stream has then not moved.
    bool readLine(TextBuffer& line);
    // Passes over the next line without storing it.
    void skipLine();

    // True once a read of this reader met the end of the data.
    bool atEnd() const { return endMet; }

  private:
    MemoryStream* source;
    bool endMet = false;
};

// Appends the bytes [begin, end) of `data` to `line`, leaving out NUL bytes; false when the
// storage could not grow.
bool appendWithoutNuls(TextBuffer& line, const BYTE* data, ULONGLONG begin, ULONGLONG end);

}  // namespace brimvox::retrieve
