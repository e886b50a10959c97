#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "allocation.h"
#include "file_stream.h"
#include "memory_stream.h"
#include "module_lock.h"
#include "test_support.h"
#include "upload_retrieve.h"
#include "write_log.h"

using namespace brimvox::retrieve;

namespace {

// On Windows the header generated from the IDL declares the coclass UploadRetrieve globally.
using brimvox::retrieve::UploadRetrieve;

const std::string kSevenLines = "h1\r\nh2\r\nh3\r\nh4\r\nh5\r\nABC\r\nXYZ\r\n";

class UploadRetrieveTest : public ::testing::Test, public UploadRetrieveCalls<UploadRetrieve> {
  protected:
    void SetUp() override {
        enterScratchDirectory();
        object = new UploadRetrieve;
        object->AddRef();
    }
    void TearDown() override {
        failAllocationsAfter(-1);
        if (object != nullptr) {
            EXPECT_EQ(0u, object->Release());
        }
    }

    std::string dataRest() {
        VARIANT v;
        VariantInit(&v);
        EXPECT_EQ(S_OK, object->get_DataToTheEnd(&v));
        EXPECT_EQ(VT_UNKNOWN, v.vt);
        IStream* stream = nullptr;
        EXPECT_EQ(S_OK, v.punkVal->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)));
        std::string out;
        char buffer[1000];
        ULONG got = 0;
        while (stream->Read(buffer, sizeof buffer, &got) == S_OK && got > 0)
            out.append(buffer, got);
        stream->Release();
        EXPECT_EQ(0u, v.punkVal->Release());
        return out;
    }
};

TEST_F(UploadRetrieveTest, SevenLineStringBody) {
    ASSERT_EQ(S_OK, parseString(kSevenLines));
    EXPECT_EQ("ABC", action());
    EXPECT_EQ("XYZ", nextLine());
    EXPECT_FALSE(eos());
    EXPECT_EQ("", nextLine());
    EXPECT_TRUE(eos());
    // A string body writes no dump and no log line.
    EXPECT_FALSE(fileExists(kDumpPath));
    EXPECT_TRUE(logLines().empty());
}

TEST_F(UploadRetrieveTest, LastLineWithoutBreakEndsAtOnce) {
    ASSERT_EQ(S_OK, parseString(kSevenLines.substr(0, kSevenLines.size() - 2)));
    EXPECT_EQ("XYZ", nextLine());
    EXPECT_TRUE(eos());
}

TEST_F(UploadRetrieveTest, FewerThanSixLines) {
    ASSERT_EQ(S_OK, parseString("a\r\nb\r\nc"));
    EXPECT_EQ("", action());
    EXPECT_EQ("", nextLine());
    EXPECT_TRUE(eos());
}

TEST_F(UploadRetrieveTest, ActionLineIsKeptUntrimmed) {
    ASSERT_EQ(S_OK, parseString("1\n2\n3\n4\n5\n  do it \t\nrest"));
    EXPECT_EQ("  do it \t", action());
}

TEST_F(UploadRetrieveTest, ResetRewindsToTheFirstHeadLine) {
    ASSERT_EQ(S_OK, parseString(kSevenLines));
    EXPECT_EQ("XYZ", nextLine());
    EXPECT_EQ(S_OK, object->Reset());
    EXPECT_EQ("h1", nextLine());
    EXPECT_EQ("ABC", action());
}

TEST_F(UploadRetrieveTest, DataToTheEndTwice) {
    ASSERT_EQ(S_OK, parseString(kSevenLines + "tail"));
    EXPECT_EQ("XYZ\r\ntail", dataRest());
    EXPECT_EQ("", dataRest());
    EXPECT_EQ("", nextLine());
    EXPECT_TRUE(eos());
}

TEST_F(UploadRetrieveTest, StringToTheEndStopsAtNulAndConsumesTheRest) {
    ASSERT_EQ(S_OK, parseBytes(kSevenLines + std::string("ab\0cd", 5), 37));
    EXPECT_EQ("XYZ", nextLine());
    EXPECT_EQ("ab", rest());
    EXPECT_EQ("", rest());
    EXPECT_EQ(S_OK, object->Reset());
    EXPECT_EQ(kSevenLines + "ab", rest());
}

TEST_F(UploadRetrieveTest, EmptyVariantAndOtherTypesStoreNothing) {
    VariantGuard v;
    EXPECT_EQ(S_OK, object->ParseRequest(v.value, 0));
    EXPECT_EQ("", action());
    EXPECT_TRUE(logLines().empty());
    v.value.vt = VT_I4;
    v.value.lVal = 1234;
    EXPECT_EQ(S_OK, object->ParseRequest(v.value, 4));
    EXPECT_EQ("", rest());
    EXPECT_EQ(S_OK, object->Reset());
}

TEST_F(UploadRetrieveTest, ByteArrayBodyIsDumpedAndLogged) {
    std::string body = kSevenLines + "payload";
    std::string old(100000, 'o');
    {
        FileStream previous(kDumpPath, 1, 3, 0);
        previous.Write(old.data(), static_cast<ULONG>(old.size()), nullptr);
    }
    ASSERT_EQ(S_OK, parseBytes(body, static_cast<LONG>(body.size())));
    EXPECT_EQ("ABC", action());
    EXPECT_EQ(body, readFile(kDumpPath));
    auto lines = logLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("Written to storage: " + std::to_string(body.size()) + " bytes",
              logMessage(lines[0]));
    EXPECT_EQ("XYZ", nextLine());
    EXPECT_EQ("payload", rest());
}

TEST_F(UploadRetrieveTest, ByteCountBelowTheArrayTakesOnlyThatMany) {
    ASSERT_EQ(S_OK, parseBytes(kSevenLines + "payload", static_cast<LONG>(kSevenLines.size())));
    EXPECT_EQ(kSevenLines, readFile(kDumpPath));
    EXPECT_EQ("XYZ", nextLine());
    EXPECT_EQ("", rest());
}

TEST_F(UploadRetrieveTest, ByteCountBeyondTheArrayIsCutToTheArray) {
    ASSERT_EQ(S_OK, parseBytes(kSevenLines, 1 << 30));
    EXPECT_EQ(kSevenLines, readFile(kDumpPath));
    EXPECT_EQ("Written to storage: " + std::to_string(kSevenLines.size()) + " bytes",
              logMessage(logLines().back()));
    EXPECT_EQ(S_OK, object->Reset());
    EXPECT_EQ(kSevenLines, rest());
}

TEST_F(UploadRetrieveTest, NegativeByteCountIsRefused) {
    ASSERT_EQ(S_OK, parseString(kSevenLines));
    EXPECT_EQ(E_INVALIDARG, parseBytes(kSevenLines, -1));
    // The body was already replaced by an empty one; the old ACTION stays.
    EXPECT_EQ("", rest());
    EXPECT_EQ("ABC", action());
    EXPECT_FALSE(fileExists(kDumpPath));
}

TEST_F(UploadRetrieveTest, AnyElementTypeIsTakenAsBytesUpToTheArraySize) {
    // Three 4-byte elements hold 12 bytes; a larger count is cut to them.
    VariantGuard v;
    v.value.vt = VT_ARRAY | VT_I4;
    v.value.parray = SafeArrayCreateVector(VT_I4, 0, 3);
    void* data = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(v.value.parray, &data));
    std::memcpy(data, "1\n2\n3\n4\n5\nAB", 12);
    SafeArrayUnaccessData(v.value.parray);
    EXPECT_EQ(S_OK, object->ParseRequest(v.value, 1000));
    EXPECT_EQ("AB", action());
    EXPECT_EQ(12u, readFile(kDumpPath).size());
}

TEST_F(UploadRetrieveTest, ArrayFlagWithoutArrayIsRefusedAndLogged) {
    VariantGuard v;
    v.value.vt = VT_ARRAY | VT_UI1;
    v.value.parray = nullptr;
    EXPECT_EQ(E_INVALIDARG, object->ParseRequest(v.value, 10));
    auto lines = logLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("NOT A SAFEARRAY: vt=0x00002011 (0x00000000)!!!", logMessage(lines[0]));
    EXPECT_EQ(0u, v.value.vt & VT_BYREF);
    v.value.vt = VT_EMPTY;
}

TEST_F(UploadRetrieveTest, ByReferenceVariantsAreFollowed) {
    // VT_BYREF | VT_ARRAY
    SAFEARRAY* array = makeByteArray(kSevenLines);
    VARIANT v;
    v.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    v.pparray = &array;
    ASSERT_EQ(S_OK, object->ParseRequest(v, static_cast<LONG>(kSevenLines.size())));
    EXPECT_EQ("ABC", action());
    EXPECT_EQ(kSevenLines, readFile(kDumpPath));
    SafeArrayDestroy(array);

    // VT_BYREF | VT_BSTR
    BSTR text = makeBstr("1\r\n2\r\n3\r\n4\r\n5\r\nREF\r\n");
    v.vt = VT_BYREF | VT_BSTR;
    v.pbstrVal = &text;
    ASSERT_EQ(S_OK, object->ParseRequest(v, 0));
    EXPECT_EQ("REF", action());

    // VT_BYREF | VT_VARIANT holding a string, as script variables arrive
    VARIANT inner;
    inner.vt = VT_BSTR;
    inner.bstrVal = text;
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = &inner;
    ASSERT_EQ(S_OK, parseString(""));
    ASSERT_EQ(S_OK, object->ParseRequest(v, 0));
    EXPECT_EQ("REF", action());
    SysFreeString(text);

    // Null references: a null array pointer is "not a safearray", a null string stores nothing.
    v.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    v.pparray = nullptr;
    EXPECT_EQ(E_INVALIDARG, object->ParseRequest(v, 3));
    EXPECT_EQ("NOT A SAFEARRAY: vt=0x00006011 (0x00000000)!!!", logMessage(logLines().back()));
    v.vt = VT_BYREF | VT_BSTR;
    v.pbstrVal = nullptr;
    EXPECT_EQ(S_OK, object->ParseRequest(v, 0));
    EXPECT_EQ("", action());
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = nullptr;
    EXPECT_EQ(S_OK, object->ParseRequest(v, 0));
}

TEST_F(UploadRetrieveTest, NullStringBodyStoresNothing) {
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = nullptr;
    EXPECT_EQ(S_OK, object->ParseRequest(v, 0));
    EXPECT_EQ("", action());
    EXPECT_EQ("", nextLine());
    EXPECT_TRUE(eos());
}

TEST_F(UploadRetrieveTest, StringBodyStopsAtItsFirstNul) {
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = makeBstr(std::string("1\n2\n3\n4\n5\nA\nB\0C", 15));
    EXPECT_EQ(S_OK, object->ParseRequest(v, 0));
    EXPECT_EQ("B", rest());
    SysFreeString(v.bstrVal);
}

TEST_F(UploadRetrieveTest, DumpContentionIsLoggedAndTheRequestStillServed) {
    FileStream holder(kDumpPath, 1, 3, 0);
    ASSERT_TRUE(holder.isOpen());
    ASSERT_EQ(S_OK, parseBytes(kSevenLines, static_cast<LONG>(kSevenLines.size())));
    auto lines = logLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("DUMP ERROR: 0x80004005", logMessage(lines[0]));
    EXPECT_EQ("Written to storage: " + std::to_string(kSevenLines.size()) + " bytes",
              logMessage(lines[1]));
    EXPECT_EQ("ABC", action());
    EXPECT_EQ("XYZ", nextLine());
}

TEST_F(UploadRetrieveTest, CompleteWorkDropsTheBody) {
    ASSERT_EQ(S_OK, parseString(kSevenLines));
    EXPECT_EQ(S_OK, object->CompleteWork());
    EXPECT_EQ(S_OK, object->CompleteWork());
    nextLine(E_FAIL);
    EXPECT_EQ(E_FAIL, object->Reset());
    EXPECT_EQ("ABC", action());
    EXPECT_EQ("", rest());
    EXPECT_EQ("", dataRest());
}

TEST_F(UploadRetrieveTest, NewObjectState) {
    EXPECT_FALSE(eos());
    EXPECT_EQ("", action());
    nextLine(E_FAIL);
    EXPECT_EQ(E_FAIL, object->Reset());
    EXPECT_EQ("", rest());
}

TEST_F(UploadRetrieveTest, NullResultPointers) {
    ASSERT_EQ(S_OK, parseString(kSevenLines));
    EXPECT_EQ(E_POINTER, object->get_Action(nullptr));
    EXPECT_EQ(E_POINTER, object->get_NextMessageLine(nullptr));
    EXPECT_EQ(E_POINTER, object->get_EOS(nullptr));
    EXPECT_EQ(E_POINTER, object->get_DataToTheEnd(nullptr));
    EXPECT_EQ(E_POINTER, object->get_StringToTheEnd(nullptr));
    EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(E_POINTER, object->GetTypeInfoCount(nullptr));
    // Nothing moved.
    EXPECT_EQ("XYZ", nextLine());
}

TEST_F(UploadRetrieveTest, LogWritesTextVerbatimCutTo511) {
    BSTR text = makeBstr("100%d done %s");
    EXPECT_EQ(S_OK, object->Log(text));
    SysFreeString(text);
    EXPECT_EQ(S_OK, object->Log(nullptr));
    std::string longText(600, 'L');
    text = makeBstr(longText);
    EXPECT_EQ(S_OK, object->Log(text));
    SysFreeString(text);
    auto lines = logLines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("100%d done %s", logMessage(lines[0]));
    EXPECT_EQ("", logMessage(lines[1]));
    EXPECT_EQ(std::string(511, 'L'), logMessage(lines[2]));
    // "TID=%08X; %8X:\t %s\r\n"
    const std::string& line = lines[0];
    ASSERT_GT(line.size(), 24u);
    EXPECT_EQ("TID=", line.substr(0, 4));
    EXPECT_EQ("; ", line.substr(12, 2));
    EXPECT_EQ(":\t ", line.substr(22, 3));
    EXPECT_EQ(std::string::npos, line.substr(4, 8).find_first_not_of("0123456789ABCDEF"));
    EXPECT_EQ(std::string::npos, line.substr(14, 8).find_first_not_of(" 0123456789ABCDEF"));
}

TEST_F(UploadRetrieveTest, InterfacesAndReferenceCounts) {
    void* out = nullptr;
    EXPECT_EQ(S_OK, object->QueryInterface(IID_IUploadRetrieve, &out));
    EXPECT_EQ(static_cast<IUploadRetrieve*>(object), out);
    EXPECT_EQ(S_OK, object->QueryInterface(IID_IDispatch, &out));
    EXPECT_EQ(S_OK, object->QueryInterface(IID_IUnknown, &out));
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IStream, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(3u, object->Release());
    EXPECT_EQ(2u, object->Release());
    EXPECT_EQ(1u, object->Release());
    UINT count = 0;
    EXPECT_EQ(S_OK, object->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
}

TEST_F(UploadRetrieveTest, ObjectsHoldTheModuleLock) {
    LONG before = moduleLockCount();
    auto* second = new UploadRetrieve;
    second->AddRef();
    EXPECT_EQ(before + 1, moduleLockCount());
    EXPECT_EQ(0u, second->Release());
    EXPECT_EQ(before, moduleLockCount());
}

TEST_F(UploadRetrieveTest, DataToTheEndHandsOutAStreamTheCallerOwns) {
    ASSERT_EQ(S_OK, parseString(kSevenLines + "data"));
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(S_OK, object->get_DataToTheEnd(&v));
    ASSERT_EQ(VT_UNKNOWN, v.vt);
    auto* stream = static_cast<MemoryStream*>(static_cast<IStream*>(v.punkVal));
    EXPECT_EQ(0u, stream->position());
    EXPECT_EQ(9u, stream->size());
    // The object keeps no reference: one Release frees it.
    EXPECT_EQ(0u, v.punkVal->Release());
}

TEST_F(UploadRetrieveTest, AllocationFailuresAnswerOutOfMemory) {
    std::string big = kSevenLines + std::string(20000, 'z');
    failAllocationsAfter(0);
    EXPECT_EQ(E_OUTOFMEMORY, parseBytes(big, static_cast<LONG>(big.size())));
    EXPECT_EQ(E_OUTOFMEMORY, parseString(big));
    failAllocationsAfter(-1);

    ASSERT_EQ(S_OK, parseString(big));
    failAllocationsAfter(0);
    nextLine(E_OUTOFMEMORY);  // the XYZ line needs storage
    failAllocationsAfter(-1);
    ASSERT_EQ(S_OK, object->Reset());
    ASSERT_EQ(S_OK, parseString(big));
    failAllocationsAfter(0);
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(E_OUTOFMEMORY, object->get_DataToTheEnd(&v));
    EXPECT_EQ(VT_EMPTY, v.vt);
    BSTR text = nullptr;
    EXPECT_EQ(E_OUTOFMEMORY, object->get_StringToTheEnd(&text));
    EXPECT_EQ(nullptr, text);
    failAllocationsAfter(-1);
}

// A reader that runs out of memory part-way leaves the shared cursor where it was, so a retry
// after the failure gives the whole result. Each reader is made to fail at every allocation in
// turn until it succeeds.
TEST_F(UploadRetrieveTest, FailedReadersLeaveTheCursorWhereItWas) {
    const std::string tail(20000, 'z');
    const std::string body = kSevenLines + tail;
    ASSERT_EQ(S_OK, parseString(body));

    int failures = 0;
    for (long allowed = 0;; ++allowed) {
        failAllocationsAfter(allowed);
        BSTR text = nullptr;
        HRESULT hr = object->get_NextMessageLine(&text);
        failAllocationsAfter(-1);
        SysFreeString(text);
        if (hr == S_OK) break;
        ASSERT_EQ(E_OUTOFMEMORY, hr);
        ++failures;
        ASSERT_EQ(nullptr, text);
    }
    EXPECT_GT(failures, 0);
    ASSERT_EQ(S_OK, object->Reset());
    for (int i = 0; i < 6; ++i) nextLine();
    failAllocationsAfter(0);
    nextLine(E_OUTOFMEMORY);
    failAllocationsAfter(-1);
    EXPECT_EQ("XYZ", nextLine());

    failures = 0;
    for (long allowed = 0;; ++allowed) {
        failAllocationsAfter(allowed);
        VARIANT v;
        VariantInit(&v);
        HRESULT hr = object->get_DataToTheEnd(&v);
        failAllocationsAfter(-1);
        if (hr == S_OK) {
            VariantClear(&v);
            break;
        }
        ASSERT_EQ(E_OUTOFMEMORY, hr);
        EXPECT_EQ(VT_EMPTY, v.vt);
        ++failures;
        // Nothing was consumed: the rest is still all there.
        BSTR text = nullptr;
        ASSERT_EQ(S_OK, object->get_StringToTheEnd(&text));
        EXPECT_EQ(tail, fromBstr(text));
        SysFreeString(text);
        ASSERT_EQ(S_OK, object->Reset());
        for (int i = 0; i < 7; ++i) nextLine();
    }
    EXPECT_GT(failures, 0);

    ASSERT_EQ(S_OK, object->Reset());
    for (int i = 0; i < 7; ++i) nextLine();
    failures = 0;
    for (long allowed = 0;; ++allowed) {
        failAllocationsAfter(allowed);
        BSTR text = nullptr;
        HRESULT hr = object->get_StringToTheEnd(&text);
        failAllocationsAfter(-1);
        if (hr == S_OK) {
            EXPECT_EQ(tail, fromBstr(text));
            SysFreeString(text);
            break;
        }
        ASSERT_EQ(E_OUTOFMEMORY, hr);
        ++failures;
        EXPECT_EQ(tail, dataRest());
        ASSERT_EQ(S_OK, object->Reset());
        for (int i = 0; i < 7; ++i) nextLine();
    }
    EXPECT_GT(failures, 0);
}

// The stream that DataToTheEnd hands out keeps the module loaded after the object is gone.
TEST_F(UploadRetrieveTest, AHandedOutStreamHoldsTheModuleAfterTheObjectIsGone) {
    LONG before = moduleLockCount();
    auto* other = new UploadRetrieve;
    other->AddRef();
    VariantGuard body;
    body.value.vt = VT_BSTR;
    body.value.bstrVal = makeBstr(kSevenLines + "data");
    ASSERT_EQ(S_OK, other->ParseRequest(body.value, 0));
    VARIANT v;
    VariantInit(&v);
    ASSERT_EQ(S_OK, other->get_DataToTheEnd(&v));
    EXPECT_EQ(0u, other->Release());
    EXPECT_EQ(before + 1, moduleLockCount());
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, v.punkVal->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)));
    char buffer[16];
    ULONG got = 0;
    EXPECT_EQ(S_OK, stream->Read(buffer, sizeof buffer, &got));
    EXPECT_EQ("XYZ\r\ndata", std::string(buffer, got));
    stream->Release();
    EXPECT_EQ(0u, v.punkVal->Release());
    EXPECT_EQ(before, moduleLockCount());
}

// LockServer(FALSE) without a matching LockServer(TRUE) is refused and never drives the count
// below what the living objects and streams hold.
TEST_F(UploadRetrieveTest, UnmatchedServerUnlockIsRefused) {
    LONG before = moduleLockCount();
    EXPECT_EQ(E_UNEXPECTED, lockServer(FALSE));
    EXPECT_EQ(before, moduleLockCount());
    EXPECT_EQ(S_OK, lockServer(TRUE));
    EXPECT_EQ(S_OK, lockServer(TRUE));
    EXPECT_EQ(before + 2, moduleLockCount());
    EXPECT_EQ(S_OK, lockServer(FALSE));
    EXPECT_EQ(S_OK, lockServer(FALSE));
    EXPECT_EQ(E_UNEXPECTED, lockServer(FALSE));
    EXPECT_EQ(before, moduleLockCount());
    // An object's own lock is not taken away by a stray unlock either.
    ASSERT_GT(before, 0);
    EXPECT_EQ(E_UNEXPECTED, lockServer(FALSE));
    EXPECT_EQ(before, moduleLockCount());
}

// Arrays whose elements are pointers (strings, VARIANTs, interfaces) are refused: their bytes
// are addresses, which must neither become the body nor reach the dump file.
TEST_F(UploadRetrieveTest, ArraysOfPointersAreRefusedAndLogged) {
    ASSERT_EQ(S_OK, parseString(kSevenLines));
    for (VARTYPE element : {VT_BSTR, VT_VARIANT, VT_UNKNOWN, VT_DISPATCH}) {
        VariantGuard v;
        v.value.vt = static_cast<VARTYPE>(VT_ARRAY | element);
        v.value.parray = SafeArrayCreateVector(element, 0, 40);
        ASSERT_NE(nullptr, v.value.parray);
        if (element == VT_BSTR) {
            static_cast<BSTR*>(v.value.parray->pvData)[0] = makeBstr(kSevenLines);
        }
        EXPECT_EQ(E_INVALIDARG, object->ParseRequest(v.value, 40)) << element;
        EXPECT_FALSE(fileExists(kDumpPath)) << element;
        char expected[64];
        std::snprintf(expected, sizeof expected, "ARRAY OF POINTERS: vt=0x%08X (0x%08X)!!!",
                      static_cast<unsigned>(VT_ARRAY | element),
                      static_cast<unsigned>(v.value.parray->fFeatures));
        EXPECT_EQ(expected, logMessage(logLines().back()));
        // The body was replaced by an empty one, as on the other refusals.
        EXPECT_EQ("", rest());
        EXPECT_EQ("ABC", action());
    }
    // The features of the array count even when the VARIANT claims bytes.
    VariantGuard v;
    v.value.vt = VT_ARRAY | VT_UI1;
    v.value.parray = SafeArrayCreateVector(VT_VARIANT, 0, 4);
    EXPECT_EQ(E_INVALIDARG, object->ParseRequest(v.value, 64));
    // And through a reference, as script variables arrive.
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 4);
    VARIANT byRef;
    byRef.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
    byRef.pparray = &array;
    EXPECT_EQ(E_INVALIDARG, object->ParseRequest(byRef, 64));
    SafeArrayDestroy(array);
    EXPECT_FALSE(fileExists(kDumpPath));
}

// Plain numeric element types keep their raw-byte treatment, over every dimension and
// whatever the lower bounds.
TEST_F(UploadRetrieveTest, NumericArraysOfAnyShapeAreTakenAsBytes) {
    VariantGuard doubles;
    doubles.value.vt = VT_ARRAY | VT_R8;
    doubles.value.parray = SafeArrayCreateVector(VT_R8, -3, 4);
    std::memcpy(doubles.value.parray->pvData, "1\n2\n3\n4\n5\nR8\nrest...\n..........", 32);
    ASSERT_EQ(S_OK, object->ParseRequest(doubles.value, 32));
    EXPECT_EQ("R8", action());
    EXPECT_EQ(32u, readFile(kDumpPath).size());

    SAFEARRAYBOUND bounds[2] = {{2, 5}, {7, -2}};
    VariantGuard grid;
    grid.value.vt = VT_ARRAY | VT_UI1;
    grid.value.parray = SafeArrayCreate(VT_UI1, 2, bounds);
    std::memcpy(grid.value.parray->pvData, "1\n2\n3\n4\n5\nGRID", 14);
    ASSERT_EQ(S_OK, object->ParseRequest(grid.value, 100));  // cut to the 14 bytes there are
    EXPECT_EQ("GRID", action());
    EXPECT_EQ(14u, readFile(kDumpPath).size());
}

// VT_NULL, VT_DISPATCH and VT_UNKNOWN bodies store nothing and leave the interface alone.
TEST_F(UploadRetrieveTest, NullAndInterfaceBodiesStoreNothing) {
    VariantGuard v;
    v.value.vt = VT_NULL;
    EXPECT_EQ(S_OK, object->ParseRequest(v.value, 10));
    EXPECT_EQ("", rest());
    auto* stream = new MemoryStream;
    stream->Write(kSevenLines.data(), static_cast<ULONG>(kSevenLines.size()), nullptr);
    v.value.vt = VT_UNKNOWN;
    v.value.punkVal = static_cast<IStream*>(stream);
    EXPECT_EQ(S_OK, object->ParseRequest(v.value, 10));
    EXPECT_EQ("", action());
    EXPECT_EQ("", rest());
    v.value.vt = VT_EMPTY;
    EXPECT_EQ(0u, stream->Release());
    EXPECT_TRUE(logLines().empty());
}

// No exception leaves a method: allocations that throw (as the standard library's do) or a
// failing lock (std::system_error) become E_OUTOFMEMORY and E_UNEXPECTED, at every point a
// method allocates, and the object stays usable afterwards.
TEST_F(UploadRetrieveTest, ExceptionsNeverLeaveAMethod) {
    const std::string body = kSevenLines + std::string(10000, 'q') + "\0x";
    struct Kind {
        AllocationFailure failure;
        HRESULT expected;
    };
    for (Kind kind : {Kind{AllocationFailure::badAlloc, E_OUTOFMEMORY},
                      Kind{AllocationFailure::systemError, E_UNEXPECTED}}) {
        for (long allowed = 0; allowed < 4; ++allowed) {
            auto check = [&](HRESULT hr, const char* what) {
                EXPECT_TRUE(hr == S_OK || hr == kind.expected)
                    << what << " gave 0x" << std::hex << hr << " after " << allowed;
            };
            failAllocationsAfter(allowed, kind.failure);
            check(parseString(body), "ParseRequest(string)");
            failAllocationsAfter(allowed, kind.failure);
            check(parseBytes(body, static_cast<LONG>(body.size())), "ParseRequest(bytes)");
            failAllocationsAfter(-1);
            ASSERT_EQ(S_OK, parseString(body));

            BSTR text = nullptr;
            failAllocationsAfter(allowed, kind.failure);
            check(object->get_Action(&text), "Action");
            SysFreeString(text);
            text = nullptr;
            failAllocationsAfter(allowed, kind.failure);
            check(object->get_NextMessageLine(&text), "NextMessageLine");
            SysFreeString(text);
            text = nullptr;
            VARIANT v;
            VariantInit(&v);
            failAllocationsAfter(allowed, kind.failure);
            HRESULT hr = object->get_DataToTheEnd(&v);
            check(hr, "DataToTheEnd");
            if (hr == S_OK) {
                // The handed-out stream answers the same way when written to.
                IStream* stream = static_cast<IStream*>(v.punkVal);
                failAllocationsAfter(0, kind.failure);
                check(stream->Write(body.data(), 8192, nullptr), "IStream::Write");
                check(stream->SetSize(ulargeInteger(1 << 20)), "IStream::SetSize");
                check(stream->Seek(largeInteger(1 << 21), STREAM_SEEK_SET, nullptr),
                      "IStream::Seek");
                failAllocationsAfter(-1);
                VariantClear(&v);
            }
            object->Reset();
            failAllocationsAfter(allowed, kind.failure);
            check(object->get_StringToTheEnd(&text), "StringToTheEnd");
            SysFreeString(text);
            failAllocationsAfter(allowed, kind.failure);
            BSTR logText = makeBstr("logged");
            check(object->Log(logText), "Log");
            SysFreeString(logText);
            failAllocationsAfter(-1);
        }
    }
    // Still whole afterwards.
    ASSERT_EQ(S_OK, parseString(kSevenLines));
    EXPECT_EQ("ABC", action());
    EXPECT_EQ("XYZ", nextLine());
}

#ifndef _WIN32  // under Wine the COM client checks this against the real system
// A dump file that cannot be created (the server's identity may not write the root of C:) is
// logged as designed and also reported to the debugger output, which does not depend on the
// log file; the request is served all the same.
TEST_F(UploadRetrieveTest, UnwritableDumpAndLogAreReportedOutsideTheLog) {
    takeDebugOutput();
    ASSERT_EQ(0, mkdir(kDumpPath, 0755));
    ASSERT_EQ(S_OK, parseBytes(kSevenLines, static_cast<LONG>(kSevenLines.size())));
    EXPECT_EQ("ABC", action());
    EXPECT_EQ("XYZ", nextLine());
    auto lines = logLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("DUMP ERROR: 0x80004005", logMessage(lines[0]));
    auto debug = takeDebugOutput();
    ASSERT_EQ(1u, debug.size());
    EXPECT_EQ(0u, debug[0].find("Retrieve: dump file c:\\retrieve.dat cannot be created: "
                                "0x80004005 (system error "))
        << debug[0];

    // With the log unwritable too, the dump failure still reaches the debugger output, and so
    // does the (first) loss of log lines.
    std::remove(kLogPath);
    ASSERT_EQ(0, mkdir(kLogPath, 0755));
    ASSERT_EQ(S_OK, parseBytes(kSevenLines, static_cast<LONG>(kSevenLines.size())));
    EXPECT_EQ("XYZ", nextLine());
    BSTR text = makeBstr("lost");
    EXPECT_EQ(S_OK, object->Log(text));
    SysFreeString(text);
    debug = takeDebugOutput();
    bool dumpReported = false;
    for (const std::string& line : debug) {
        if (line.find("Retrieve: dump file") == 0) dumpReported = true;
    }
    EXPECT_TRUE(dumpReported);
    rmdir(kLogPath);
    rmdir(kDumpPath);
}

#endif

}  // namespace
