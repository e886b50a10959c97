#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "allocation.h"
#include "line_reader.h"
#include "memory_stream.h"
#include "text_buffer.h"

using namespace brimvox::retrieve;

namespace {

MemoryStream* streamOf(const std::string& bytes) {
    auto* s = new MemoryStream;
    s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    s->Seek(largeInteger(0), STREAM_SEEK_SET, nullptr);
    return s;
}

// Reads `count` lines, each with a new reader (as NextMessageLine does), giving text and end flag.
std::vector<std::pair<std::string, bool>> readLines(const std::string& bytes, int count) {
    MemoryStream* s = streamOf(bytes);
    std::vector<std::pair<std::string, bool>> lines;
    for (int i = 0; i < count; ++i) {
        LineReader reader(s);
        TextBuffer line;
        EXPECT_TRUE(reader.readLine(line));
        lines.emplace_back(line.text(), reader.atEnd());
    }
    s->Release();
    return lines;
}

using Lines = std::vector<std::pair<std::string, bool>>;

TEST(LineReader, LineBreakForms) {
    EXPECT_EQ((Lines{{"A", false}, {"B", true}}), readLines("A\r\nB", 2));
    EXPECT_EQ((Lines{{"A", false}, {"B", true}}), readLines("A\n\rB", 2));
    EXPECT_EQ((Lines{{"A", false}, {"", false}, {"B", true}}), readLines("A\r\rB", 3));
    EXPECT_EQ((Lines{{"A", false}, {"", false}, {"B", true}}), readLines("A\n\nB", 3));
    EXPECT_EQ((Lines{{"A", false}, {"", false}, {"B", true}}), readLines("A\r\n\r\nB", 3));
    EXPECT_EQ((Lines{{"A", false}, {"B", true}}), readLines("A\rB", 2));
    EXPECT_EQ((Lines{{"A", false}, {"B", true}}), readLines("A\nB", 2));
    // LF CR LF: the pair ends the first line, the lone LF the second.
    EXPECT_EQ((Lines{{"A", false}, {"", false}, {"B", true}}), readLines("A\n\r\nB", 3));
}

TEST(LineReader, EndOfDataRule) {
    EXPECT_EQ((Lines{{"", false}, {"", true}}), readLines("\r\n", 2));
    EXPECT_EQ((Lines{{"", true}}), readLines("", 1));
    // A complete pair at the end leaves atEnd false; the next read meets the end.
    EXPECT_EQ((Lines{{"X", false}, {"", true}, {"", true}}), readLines("X\r\n", 3));
    // A lone break at the end reaches the end while looking for its partner.
    EXPECT_EQ((Lines{{"X", true}}), readLines("X\r", 1));
    EXPECT_EQ((Lines{{"X", true}}), readLines("X\n", 1));
    EXPECT_EQ((Lines{{"X", true}}), readLines("X", 1));
}

TEST(LineReader, OneReaderKeepsItsEndFlag) {
    MemoryStream* s = streamOf("A\r\nB");
    LineReader reader(s);
    TextBuffer line;
    reader.readLine(line);
    EXPECT_FALSE(reader.atEnd());
    reader.readLine(line);
    EXPECT_TRUE(reader.atEnd());
    EXPECT_STREQ("B", line.text());
    s->Release();
}

TEST(LineReader, NulBytesAreDropped) {
    EXPECT_EQ((Lines{{"ABC", false}, {"D", true}}), readLines(std::string("A\0B\0\0C\r\nD", 9), 2));
    EXPECT_EQ((Lines{{"", true}}), readLines(std::string("\0\0", 2), 1));
}

TEST(LineReader, StreamStandsAtTheNextLineAfterEachBreak) {
    struct Case {
        std::string bytes;
        ULONGLONG position;
    };
    for (const Case& c : {Case{"ab\nX", 3}, Case{"ab\rX", 3}, Case{"ab\r\nX", 4},
                          Case{"ab\n\rX", 4}, Case{"ab\r\rX", 3}, Case{"ab\n\nX", 3}}) {
        MemoryStream* s = streamOf(c.bytes);
        {
            LineReader reader(s);
            TextBuffer line;
            reader.readLine(line);
            EXPECT_STREQ("ab", line.text());
        }
        EXPECT_EQ(c.position, s->position()) << c.bytes;
        s->Release();
    }
}

TEST(LineReader, NullStreamGivesAnEmptyLine) {
    LineReader reader(nullptr);
    TextBuffer line;
    line.append("old");
    EXPECT_TRUE(reader.readLine(line));
    EXPECT_STREQ("", line.text());
    EXPECT_FALSE(reader.atEnd());
    EXPECT_EQ(4096u, line.capacity());
}

TEST(LineReader, HoldsItsOwnReference) {
    MemoryStream* s = streamOf("x");
    {
        LineReader reader(s);
        EXPECT_EQ(3u, s->AddRef());
        s->Release();
    }
    EXPECT_EQ(2u, s->AddRef());
    s->Release();
    s->Release();
}

TEST(LineReader, LongLinesGrowTheBufferIn4096Steps) {
    for (auto [length, capacity] : std::vector<std::pair<size_t, uint32_t>>{
             {4095, 4096}, {4096, 8192}, {5000, 8192}, {1 << 20, (1 << 20) + 4096}}) {
        std::string text(length, 'q');
        MemoryStream* s = streamOf(text + "\r\n");
        LineReader reader(s);
        TextBuffer line;
        reader.readLine(line);
        EXPECT_EQ(length, line.length());
        EXPECT_EQ(text, line.text());
        EXPECT_EQ(capacity, line.capacity()) << length;
        s->Release();
    }
}

TEST(LineReader, AllocationFailureIsReported) {
    MemoryStream* s = streamOf("abc\r\n");
    LineReader reader(s);
    TextBuffer line;
    failAllocationsAfter(0);
    EXPECT_FALSE(reader.readLine(line));
    failAllocationsAfter(-1);
    EXPECT_STREQ("", line.text());
    s->Release();
}

TEST(TextBuffer, AppendReserveAndClear) {
    TextBuffer buffer;
    EXPECT_STREQ("", buffer.text());
    EXPECT_EQ(0u, buffer.capacity());
    EXPECT_TRUE(buffer.append(nullptr));
    EXPECT_TRUE(buffer.append(""));
    EXPECT_EQ(0u, buffer.capacity());
    EXPECT_TRUE(buffer.append("abc"));
    EXPECT_TRUE(buffer.append("de"));
    EXPECT_STREQ("abcde", buffer.text());
    EXPECT_EQ(4096u, buffer.capacity());
    EXPECT_TRUE(buffer.reserve(100));
    EXPECT_EQ(4096u, buffer.capacity());
    EXPECT_TRUE(buffer.reserve(4097));
    EXPECT_EQ(8192u, buffer.capacity());
    EXPECT_STREQ("abcde", buffer.text());
    buffer.makeEmpty();
    EXPECT_STREQ("", buffer.text());
    EXPECT_EQ(8192u, buffer.capacity());
    buffer.clear();
    EXPECT_EQ(0u, buffer.capacity());
    EXPECT_STREQ("", buffer.text());
    TextBuffer fresh;
    EXPECT_TRUE(fresh.reserve(1));
    EXPECT_STREQ("", fresh.text());
    EXPECT_FALSE(fresh.reserve(SIZE_MAX));
    EXPECT_EQ(4096u, fresh.capacity());
}

TEST(TextBuffer, FailedGrowthKeepsTheText) {
    TextBuffer buffer;
    buffer.append(std::string(4000, 'a').c_str());
    failAllocationsAfter(0);
    EXPECT_FALSE(buffer.append(std::string(200, 'b').c_str()));
    failAllocationsAfter(-1);
    EXPECT_EQ(std::string(4000, 'a'), buffer.text());
    EXPECT_EQ(4096u, buffer.capacity());
}

}  // namespace
