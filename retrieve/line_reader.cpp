#include "line_reader.h"

namespace {
constexpr BYTE kCr = 13;
constexpr BYTE kLf = 10;
}  // namespace

LineReader::LineReader(ISequentialStream* stream) : stream_(stream) {
    if (stream_ != nullptr) stream_->AddRef();
}

LineReader::~LineReader() {
    if (stream_ != nullptr) stream_->Release();
}

bool LineReader::readByte(BYTE& value) {
    ULONG got = 0;
    // Whatever the result code, a read that delivers no byte is the end of the data.
    stream_->Read(&value, 1, &got);
    return got == 1;
}

void LineReader::pushBack() {
    IStream* stream = nullptr;
    if (SUCCEEDED(stream_->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream))) &&
        stream != nullptr) {
        LARGE_INTEGER back = largeInteger(-1);
        stream->Seek(back, STREAM_SEEK_CUR, nullptr);
        stream->Release();
    }
}

bool LineReader::readLine(TextBuffer& line) {
    line.makeEmpty();
    if (stream_ == nullptr) return true;

    BYTE value = 0;
    bool inHand = readByte(value);
    while (inHand && value != kCr && value != kLf) {
        if (value != 0) {
            char one = static_cast<char>(value);
            if (!line.append(&one, 1)) return false;
        }
        inHand = readByte(value);
    }
    if (!inHand) atEnd_ = true;

    int lfSeen = 0;
    int crSeen = 0;
    for (;;) {
        if (inHand) {
            if (value == kLf) ++lfSeen;
            if (value == kCr) ++crSeen;
        }
        if (lfSeen == 1 && crSeen == 1) return true;
        if (lfSeen == 2 || crSeen == 2) {
            pushBack();
            return true;
        }
        if (lfSeen + crSeen == 1 && inHand && value != kLf && value != kCr) {
            pushBack();
            return true;
        }
        inHand = readByte(value);
        if (!inHand) {
            atEnd_ = true;
            return true;
        }
    }
}
