#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "allocation.h"
#include "copy_stream.h"
#include "file_stream.h"
#include "memory_stream.h"
#include "module_lock.h"
#include "test_support.h"

using namespace brimvox::retrieve;

namespace {

LARGE_INTEGER at(LONGLONG v) {
    return largeInteger(v);
}

std::vector<BYTE> pattern(size_t n) {
    std::vector<BYTE> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<BYTE>(i * 7 + 3);
    return bytes;
}

TEST(MemoryStream, WritingOnePageTakesASecondPage) {
    auto* s = new MemoryStream;
    auto bytes = pattern(4096);
    ULONG done = 0;
    EXPECT_EQ(S_OK, s->Write(bytes.data(), 4096, &done));
    EXPECT_EQ(4096u, done);
    EXPECT_EQ(4096u, s->size());
    EXPECT_EQ(4096u, s->position());
    EXPECT_EQ(8192u, s->capacity());
    EXPECT_EQ(0, std::memcmp(s->data(), bytes.data(), 4096));
    EXPECT_EQ(0u, s->Release());
}

TEST(MemoryStream, CapacityGrowsInWholePagesBeyondTheSize) {
    MemoryStream* s = new MemoryStream;
    EXPECT_EQ(0u, s->capacity());
    EXPECT_EQ(nullptr, s->data());
    EXPECT_EQ(S_OK, s->SetSize(ulargeInteger(4095)));
    EXPECT_EQ(4096u, s->capacity());
    // Growth happens only beyond the capacity: 4096 still fits in one page here...
    EXPECT_EQ(S_OK, s->SetSize(ulargeInteger(4096)));
    EXPECT_EQ(4096u, s->capacity());
    EXPECT_EQ(S_OK, s->SetSize(ulargeInteger(4097)));
    EXPECT_EQ(8192u, s->capacity());
    // ...while a new stream asked for 4096 bytes takes two.
    MemoryStream* other = new MemoryStream;
    EXPECT_EQ(S_OK, other->SetSize(ulargeInteger(4096)));
    EXPECT_EQ(8192u, other->capacity());
    other->Release();
    EXPECT_EQ(S_OK, s->SetSize(ulargeInteger(100000)));
    EXPECT_EQ(102400u, s->capacity());
    // Bytes added by growing read as zeros.
    for (ULONGLONG i = 0; i < s->size(); ++i) ASSERT_EQ(0, s->data()[i]) << i;
    s->Release();
}

TEST(MemoryStream, SeekBeyondTheEndGrowsAndSetSizeNeverShrinks) {
    MemoryStream* s = new MemoryStream;
    auto bytes = pattern(10);
    ASSERT_EQ(S_OK, s->Write(bytes.data(), 10, nullptr));
    ULARGE_INTEGER position = ulargeInteger(999);
    EXPECT_EQ(S_OK, s->Seek(at(20), STREAM_SEEK_SET, &position));
    EXPECT_EQ(20u, position.QuadPart);
    EXPECT_EQ(20u, s->size());
    EXPECT_EQ(20u, s->position());
    EXPECT_EQ(0, std::memcmp(s->data(), bytes.data(), 10));

    EXPECT_EQ(S_OK, s->SetSize(ulargeInteger(5)));
    EXPECT_EQ(20u, s->size());

    EXPECT_EQ(S_OK, s->Seek(at(-5), STREAM_SEEK_END, &position));
    EXPECT_EQ(15u, position.QuadPart);
    EXPECT_EQ(S_OK, s->Seek(at(2), STREAM_SEEK_CUR, &position));
    EXPECT_EQ(17u, position.QuadPart);
    s->Release();
}

TEST(MemoryStream, UnknownOriginIsIgnoredAndSeekBeforeStartIsRefused) {
    MemoryStream* s = new MemoryStream;
    ASSERT_EQ(S_OK, s->Write("abcdef", 6, nullptr));
    ULARGE_INTEGER position = ulargeInteger(1234);
    EXPECT_EQ(S_OK, s->Seek(at(2), 3, &position));
    EXPECT_EQ(1234u, position.QuadPart);
    EXPECT_EQ(6u, s->position());

    EXPECT_EQ(STG_E_INVALIDFUNCTION, s->Seek(at(-7), STREAM_SEEK_CUR, &position));
    EXPECT_EQ(STG_E_INVALIDFUNCTION, s->Seek(at(-1), STREAM_SEEK_SET, nullptr));
    EXPECT_EQ(6u, s->position());
    EXPECT_EQ(1234u, position.QuadPart);

    // A seek too far to back with memory fails and changes nothing.
    EXPECT_EQ(E_OUTOFMEMORY, s->Seek(at(INT64_MAX), STREAM_SEEK_CUR, nullptr));
    EXPECT_EQ(E_OUTOFMEMORY, s->Seek(at(LONGLONG{1} << 50), STREAM_SEEK_SET, nullptr));
    EXPECT_EQ(6u, s->position());
    EXPECT_EQ(6u, s->size());
    s->Release();
}

TEST(MemoryStream, ReadStopsAtTheEndWithCountZero) {
    MemoryStream* s = new MemoryStream;
    ASSERT_EQ(S_OK, s->Write("hello", 5, nullptr));
    ASSERT_EQ(S_OK, s->Seek(at(1), STREAM_SEEK_SET, nullptr));
    char buffer[16] = {};
    ULONG done = 99;
    EXPECT_EQ(S_OK, s->Read(buffer, sizeof buffer, &done));
    EXPECT_EQ(4u, done);
    EXPECT_EQ("ello", std::string(buffer, done));
    EXPECT_EQ(S_OK, s->Read(buffer, sizeof buffer, &done));
    EXPECT_EQ(0u, done);
    EXPECT_EQ(S_OK, s->Read(buffer, 1, nullptr));
    s->Release();
}

TEST(MemoryStream, InterfacesAndUnimplementedMembers) {
    MemoryStream* s = new MemoryStream;
    void* object = &object;
    EXPECT_EQ(E_NOINTERFACE, s->QueryInterface(IID_ISequentialStream, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(E_NOINTERFACE, s->QueryInterface(IID_IDispatch, &object));
    EXPECT_EQ(E_POINTER, s->QueryInterface(IID_IStream, nullptr));
    EXPECT_EQ(S_OK, s->QueryInterface(IID_IStream, &object));
    EXPECT_EQ(static_cast<IStream*>(s), object);
    EXPECT_EQ(S_OK, s->QueryInterface(IID_IUnknown, &object));
    EXPECT_EQ(4u, s->AddRef());
    EXPECT_EQ(3u, s->Release());
    EXPECT_EQ(2u, s->Release());
    EXPECT_EQ(1u, s->Release());

    ULARGE_INTEGER none = ulargeInteger(0);
    IStream* clone = nullptr;
    EXPECT_EQ(E_NOTIMPL, s->CopyTo(s, none, nullptr, nullptr));
    EXPECT_EQ(E_NOTIMPL, s->Commit(0));
    EXPECT_EQ(E_NOTIMPL, s->Revert());
    EXPECT_EQ(E_NOTIMPL, s->LockRegion(none, none, 0));
    EXPECT_EQ(E_NOTIMPL, s->UnlockRegion(none, none, 0));
    EXPECT_EQ(E_NOTIMPL, s->Stat(nullptr, 0));
    EXPECT_EQ(E_NOTIMPL, s->Clone(&clone));
    EXPECT_EQ(0u, s->Release());
}

TEST(MemoryStream, NullBuffersAndFailedGrowthAreReportedNotFatal) {
    MemoryStream* s = new MemoryStream;
    ULONG done = 7;
    EXPECT_EQ(E_INVALIDARG, s->Write(nullptr, 3, &done));
    EXPECT_EQ(0u, done);
    EXPECT_EQ(S_OK, s->Write(nullptr, 0, &done));
    ASSERT_EQ(S_OK, s->Write("abc", 3, nullptr));
    s->Seek(at(0), STREAM_SEEK_SET, nullptr);
    EXPECT_EQ(E_INVALIDARG, s->Read(nullptr, 3, &done));

    auto big = pattern(10000);
    failAllocationsAfter(0);
    EXPECT_EQ(E_OUTOFMEMORY, s->Write(big.data(), 10000, &done));
    EXPECT_EQ(E_OUTOFMEMORY, s->SetSize(ulargeInteger(50000)));
    failAllocationsAfter(-1);
    EXPECT_EQ(3u, s->size());
    EXPECT_EQ(0u, s->position());
    EXPECT_EQ(0, std::memcmp(s->data(), "abc", 3));
    s->Release();
}

// Sizes the store can never hold are refused before any arithmetic on them can wrap: the
// stream keeps its bytes, size, position and storage.
TEST(MemoryStream, SizesBeyondTheLimitAreRefusedAndChangeNothing) {
    MemoryStream* s = new MemoryStream;
    ASSERT_EQ(S_OK, s->Write("abcdef", 6, nullptr));
    ASSERT_EQ(S_OK, s->Seek(at(2), STREAM_SEEK_SET, nullptr));
    const BYTE* storage = s->data();
    ULONGLONG capacity = s->capacity();
    const ULONGLONG limit = MemoryStream::kMaxSize;
    for (ULONGLONG n : {~ULONGLONG{0}, ~ULONGLONG{0} - 4095, ~ULONGLONG{0} - 4096,
                        ULONGLONG{1} << 63, ULONGLONG{1} << 40, limit + 1, limit + 4096}) {
        HRESULT hr = s->SetSize(ulargeInteger(n));
        EXPECT_TRUE(hr == E_OUTOFMEMORY || hr == STG_E_MEDIUMFULL) << std::hex << n;
        ULARGE_INTEGER position = ulargeInteger(77);
        LONGLONG signedMove = static_cast<LONGLONG>(n & 0x7FFFFFFFFFFFFFFFull);
        if (static_cast<ULONGLONG>(signedMove) > limit) {
            hr = s->Seek(at(signedMove), STREAM_SEEK_SET, &position);
            EXPECT_TRUE(hr == E_OUTOFMEMORY || hr == STG_E_MEDIUMFULL) << std::hex << n;
            EXPECT_EQ(77u, position.QuadPart);
        }
        EXPECT_EQ(6u, s->size());
        EXPECT_EQ(2u, s->position());
        EXPECT_EQ(capacity, s->capacity());
        EXPECT_EQ(storage, s->data());
    }
    EXPECT_EQ(0, std::memcmp(s->data(), "abcdef", 6));
    // Seeks relative to the end or the current position that would pass the limit.
    EXPECT_NE(S_OK, s->Seek(at(INT64_MAX - 3), STREAM_SEEK_END, nullptr));
    EXPECT_NE(S_OK, s->Seek(at(INT64_MAX), STREAM_SEEK_CUR, nullptr));
    EXPECT_NE(S_OK, s->Seek(at(INT64_MIN), STREAM_SEEK_CUR, nullptr));
    EXPECT_NE(S_OK, s->Seek(at(INT64_MIN), STREAM_SEEK_END, nullptr));
    EXPECT_EQ(2u, s->position());
    s->Release();
}

// At a lowered limit the boundary itself is reached: a stream grows to exactly its limit, and
// one byte more by any road is refused without touching the storage it has. Streams created
// before the limit changed keep theirs.
TEST(MemoryStream, GrowsToItsLimitExactlyAndNoFurther) {
    MemoryStream* before = new MemoryStream;
    constexpr ULONGLONG limit = 3 * 4096 + 100;
    MemoryStream::setSizeLimit(limit);
    MemoryStream* s = new MemoryStream;
    MemoryStream::setSizeLimit(~ULONGLONG{0});  // clamped to kMaxSize again
    EXPECT_EQ(limit, s->sizeLimit());
    EXPECT_EQ(MemoryStream::kMaxSize, before->sizeLimit());
    MemoryStream* after = new MemoryStream;
    EXPECT_EQ(MemoryStream::kMaxSize, after->sizeLimit());
    after->Release();

    auto bytes = pattern(static_cast<size_t>(limit) + 1);
    ULONG done = 7;
    EXPECT_EQ(E_OUTOFMEMORY, s->Write(bytes.data(), static_cast<ULONG>(limit) + 1, &done));
    EXPECT_EQ(0u, done);
    EXPECT_EQ(0u, s->size());
    ASSERT_EQ(S_OK, s->Write(bytes.data(), static_cast<ULONG>(limit) - 1, &done));
    const BYTE* storage = s->data();
    ULONGLONG capacity = s->capacity();
    EXPECT_EQ(E_OUTOFMEMORY, s->Write(bytes.data(), 2, &done));
    EXPECT_EQ(E_OUTOFMEMORY, s->SetSize(ulargeInteger(limit + 1)));
    EXPECT_EQ(E_OUTOFMEMORY, s->Seek(at(2), STREAM_SEEK_CUR, nullptr));
    EXPECT_EQ(E_OUTOFMEMORY,
              s->Seek(at(static_cast<LONGLONG>(limit) + 1), STREAM_SEEK_SET, nullptr));
    EXPECT_EQ(limit - 1, s->size());
    EXPECT_EQ(limit - 1, s->position());
    EXPECT_EQ(storage, s->data());
    EXPECT_EQ(capacity, s->capacity());

    ASSERT_EQ(S_OK, s->Write(bytes.data() + limit - 1, 1, &done));
    EXPECT_EQ(limit, s->size());
    EXPECT_GT(s->capacity(), limit);
    EXPECT_LE(s->capacity(), limit + 4096);
    EXPECT_EQ(0, std::memcmp(s->data(), bytes.data(), static_cast<size_t>(limit)));
    ULARGE_INTEGER position = ulargeInteger(0);
    EXPECT_EQ(S_OK, s->Seek(at(0), STREAM_SEEK_END, &position));
    EXPECT_EQ(limit, position.QuadPart);
    EXPECT_EQ(E_OUTOFMEMORY, s->Seek(at(1), STREAM_SEEK_END, nullptr));
    s->Release();
    before->Release();
}

// Every stream holds a lock on the module while it lives, so that a caller holding the stream
// from DataToTheEnd keeps the code of its methods loaded.
TEST(MemoryStream, HoldsTheModuleLockWhileItLives) {
    LONG before = moduleLockCount();
    MemoryStream* s = new MemoryStream;
    EXPECT_EQ(before + 1, moduleLockCount());
    s->AddRef();
    s->Release();
    EXPECT_EQ(before + 1, moduleLockCount());
    EXPECT_EQ(0u, s->Release());
    EXPECT_EQ(before, moduleLockCount());
}

TEST(MemoryStream, ManySmallWritesKeepEveryByte) {
    MemoryStream* s = new MemoryStream;
    auto bytes = pattern(1 << 20);
    for (size_t i = 0; i < bytes.size(); i += 1000) {
        ULONG n = static_cast<ULONG>(std::min<size_t>(1000, bytes.size() - i));
        ASSERT_EQ(S_OK, s->Write(bytes.data() + i, n, nullptr));
    }
    EXPECT_EQ(bytes.size(), s->size());
    // The last write ends exactly on the page boundary that the previous growth reached.
    EXPECT_EQ(bytes.size(), s->capacity());
    EXPECT_EQ(0, std::memcmp(s->data(), bytes.data(), bytes.size()));
    s->Release();
}

class FileStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        enterScratchDirectory();
        std::remove(kName);
    }
    static constexpr const char* kName = "stream_test.bin";
};

TEST_F(FileStreamTest, WritesReadsAndSeeks) {
    auto* w = new FileStream(kName, 1, 3, 0);
    ASSERT_TRUE(w->isOpen());
    ULONG done = 0;
    EXPECT_EQ(S_OK, w->Write("0123456789", 10, &done));
    EXPECT_EQ(10u, done);
    EXPECT_EQ(E_INVALIDARG, w->Write(nullptr, 1, &done));
    EXPECT_EQ(0u, w->Release());

    auto* r = new FileStream(kName, 0, 0, 0);
    ASSERT_TRUE(r->isOpen());
    ULARGE_INTEGER position = ulargeInteger(0);
    EXPECT_EQ(S_OK, r->Seek(at(-3), STREAM_SEEK_END, &position));
    EXPECT_EQ(7u, position.QuadPart);
    char buffer[8] = {};
    EXPECT_EQ(S_OK, r->Read(buffer, 8, &done));
    EXPECT_EQ("789", std::string(buffer, done));
    EXPECT_EQ(S_OK, r->Seek(at(2), STREAM_SEEK_SET, &position));
    EXPECT_EQ(S_OK, r->Seek(at(1), STREAM_SEEK_CUR, &position));
    EXPECT_EQ(3u, position.QuadPart);
    EXPECT_EQ(E_FAIL, r->Seek(at(0), 3, &position));
    EXPECT_EQ(E_INVALIDARG, r->Read(nullptr, 1, &done));
    EXPECT_EQ(E_NOTIMPL, r->SetSize(ulargeInteger(0)));
    EXPECT_TRUE(r->close());
    EXPECT_FALSE(r->close());
    EXPECT_EQ(S_FALSE, r->Read(buffer, 1, &done));
    EXPECT_EQ(S_FALSE, r->Seek(at(0), STREAM_SEEK_SET, nullptr));
    delete r;
}

TEST_F(FileStreamTest, CreateAlwaysReplacesAndCreateNewRefusesAnExistingFile) {
    {
        FileStream w(kName, 1, 3, 0);
        ASSERT_TRUE(w.isOpen());
        w.Write("long old content", 16, nullptr);
    }
    {
        FileStream w(kName, 1, 3, 0);
        ASSERT_TRUE(w.isOpen());
        w.Write("new", 3, nullptr);
    }
    EXPECT_EQ("new", readFile(kName));
    FileStream again(kName, 2, 2, 2);
    EXPECT_FALSE(again.isOpen());
    FileStream missing("no_such_file.bin", 0, 0, 0);
    EXPECT_FALSE(missing.isOpen());
}

TEST_F(FileStreamTest, InvalidCodesOpenNothing) {
    FileStream s(kName, 3, 3, 0);
    EXPECT_FALSE(s.isOpen());
    ULONG done = 5;
    EXPECT_EQ(S_FALSE, s.Write("x", 1, &done));
    EXPECT_EQ(0u, done);
    EXPECT_FALSE(fileExists(kName));
    EXPECT_FALSE(s.open(kName, 1, 4, 0));
    EXPECT_FALSE(s.open(kName, 1, 3, 3));
    EXPECT_FALSE(s.open(kName, -1, 3, 0));
    EXPECT_FALSE(s.open(nullptr, 1, 3, 0));
    // A failed open closes the file that was open before.
    ASSERT_TRUE(s.open(kName, 1, 3, 0));
    EXPECT_FALSE(s.open(kName, 9, 3, 0));
    EXPECT_FALSE(s.isOpen());
}

TEST_F(FileStreamTest, AFileOpenedWithoutSharingRefusesASecondOpen) {
    FileStream first(kName, 1, 3, 0);
    ASSERT_TRUE(first.isOpen());
    first.Write("held", 4, nullptr);
    FileStream second(kName, 1, 3, 0);
    EXPECT_FALSE(second.isOpen());
    first.close();
    // The refused open did not damage the holder's file.
    EXPECT_EQ("held", readFile(kName));
}

TEST_F(FileStreamTest, InterfacesIncludeSequentialStream) {
    auto* s = new FileStream(kName, 1, 3, 0);
    void* object = nullptr;
    EXPECT_EQ(E_POINTER, s->QueryInterface(IID_IStream, nullptr));
    EXPECT_EQ(S_OK, s->QueryInterface(IID_ISequentialStream, &object));
    EXPECT_EQ(static_cast<IStream*>(s), object);
    EXPECT_EQ(S_OK, s->QueryInterface(IID_IUnknown, &object));
    EXPECT_EQ(E_NOINTERFACE, s->QueryInterface(IID_IDispatch, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(2u, s->Release());
    EXPECT_EQ(1u, s->Release());
    EXPECT_EQ(0u, s->Release());
}

// Records the calls a copy makes, over a memory stream; optionally offers CopyTo.
class ProbeStream : public MemoryStream {
  public:
    explicit ProbeStream(bool offerCopyTo) : offerCopyTo_(offerCopyTo) {}
    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* done) override {
        ULONG got = 0;
        HRESULT hr = MemoryStream::Read(buffer, count, &got);
        if (got > 0) reads.push_back(got);
        if (done != nullptr) *done = got;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* destination, ULARGE_INTEGER count,
                                     ULARGE_INTEGER* read, ULARGE_INTEGER* written) override {
        if (!offerCopyTo_) return E_NOTIMPL;
        chunks.push_back(count.QuadPart);
        std::vector<BYTE> buffer(static_cast<size_t>(count.QuadPart));
        ULONG got = 0;
        MemoryStream::Read(buffer.data(), static_cast<ULONG>(buffer.size()), &got);
        ULONG put = 0;
        if (got > 0) destination->Write(buffer.data(), got, &put);
        read->QuadPart = got;
        written->QuadPart = put;
        return S_OK;
    }
    std::vector<ULONG> reads;
    std::vector<ULONGLONG> chunks;

  private:
    bool offerCopyTo_;
};

TEST(CopyStream, FallsBackToReadsOf4096Bytes) {
    auto* source = new ProbeStream(false);
    auto bytes = pattern(10000);
    source->Write(bytes.data(), 10000, nullptr);
    source->Seek(at(100), STREAM_SEEK_SET, nullptr);
    auto* destination = new MemoryStream;
    EXPECT_TRUE(CopyStream(destination, source));
    EXPECT_EQ((std::vector<ULONG>{4096, 4096, 1708}), source->reads);
    EXPECT_EQ(10000u, source->position());
    EXPECT_EQ(9900u, destination->size());
    EXPECT_EQ(0, std::memcmp(destination->data(), bytes.data() + 100, 9900));
    destination->Release();
    source->Release();
}

TEST(CopyStream, PrefersCopyToInGrowingChunks) {
    auto* source = new ProbeStream(true);
    auto bytes = pattern(300000);
    source->Write(bytes.data(), 300000, nullptr);
    source->Seek(at(0), STREAM_SEEK_SET, nullptr);
    auto* destination = new MemoryStream;
    EXPECT_TRUE(CopyStream(destination, source));
    EXPECT_EQ((std::vector<ULONGLONG>{4096, 8192, 16384, 32768, 65536, 65536, 65536, 65536, 65536}),
              source->chunks);
    EXPECT_TRUE(source->reads.empty());
    EXPECT_EQ(300000u, destination->size());
    EXPECT_EQ(0, std::memcmp(destination->data(), bytes.data(), 300000));
    destination->Release();
    source->Release();
}

TEST(CopyStream, NullStreamsAndRefusingDestinations) {
    auto* stream = new MemoryStream;
    stream->Write("abc", 3, nullptr);
    EXPECT_FALSE(CopyStream(nullptr, stream));
    EXPECT_FALSE(CopyStream(stream, nullptr));
    stream->Seek(at(0), STREAM_SEEK_SET, nullptr);
    // A destination that reports failure ends the copy with false rather than truncating.
    auto* destination = new MemoryStream;
    failAllocationsAfter(0);
    EXPECT_FALSE(CopyStream(destination, stream));
    failAllocationsAfter(-1);
    destination->Release();
    stream->Release();
}

}  // namespace
