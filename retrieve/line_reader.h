// Splits a byte stream into text lines, one byte per stream call, so that the stream's position
// stays the one shared cursor: after readLine it stands at the first byte of the next line.
#pragma once

#include "com_types.h"
#include "text_buffer.h"

class LineReader {
  public:
    // Holds `stream` (may be null) with a reference of its own.
    explicit LineReader(ISequentialStream* stream);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    // Reads the next line, without its line break, into `line`. A line ends at CR LF, LF CR,
    // a lone CR or a lone LF; NUL bytes are dropped. False only when the line's storage could
    // not grow.
    bool readLine(TextBuffer& line);

    // True once a read of this reader met the end of the data.
    bool atEnd() const { return atEnd_; }

  private:
    bool readByte(BYTE& value);
    void pushBack();

    ISequentialStream* stream_;
    bool atEnd_ = false;
};
