// A COM client of Retrieve.dll, run under Wine once the DLL is registered: activation through
// the ProgID, every member through the virtual table and late-bound through IDispatch::Invoke,
// the dump and log files on drive c:, the module's lock count, and concurrent use.
#include <gtest/gtest.h>
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <mutex>

#include "Retrieve_h.h"
#include "read_file.h"
#include "upload_retrieve_calls.h"

using namespace brimvox::tests;

namespace {

const char kLog[] = "c:\\retr_log.txt";
const char kDump[] = "c:\\retrieve.dat";
const std::string kSevenLines = "h1\r\nh2\r\nh3\r\nh4\r\nh5\r\nABC\r\nXYZ\r\n";

std::vector<std::string> logMessages() {
    std::string text = readFile(kLog);
    std::vector<std::string> messages;
    size_t start = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", start)) {
        std::string line = text.substr(start, end - start);
        size_t tab = line.find(":\t ");
        messages.push_back(tab == std::string::npos ? "<malformed> " + line : line.substr(tab + 3));
        start = end + 2;
    }
    return messages;
}

HRESULT canUnloadNow() {
    HMODULE module = GetModuleHandleA("Retrieve.dll");
    if (module == nullptr) return E_UNEXPECTED;
    auto fn = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    return fn != nullptr ? fn() : E_UNEXPECTED;
}

IUploadRetrieve* create() {
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(L"Retrieve.UploadRetrieve", &clsid))) return nullptr;
    IUploadRetrieve* object = nullptr;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUploadRetrieve,
                                reinterpret_cast<void**>(&object)))) {
        return nullptr;
    }
    return object;
}

class ComTest : public ::testing::Test, public UploadRetrieveCalls<IUploadRetrieve> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        DeleteFileA(kLog);
        DeleteFileA(kDump);
        object = create();
        ASSERT_NE(nullptr, object);
    }
    void TearDown() override {
        if (object != nullptr) {
            EXPECT_EQ(0u, object->Release());
        }
        CoUninitialize();
    }
};

TEST(Activation, ProgIdsAndClassFactory) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"Retrieve.UploadRetrieve", &clsid));
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_UploadRetrieve));
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"Retrieve.UploadRetrieve.1", &clsid));
    EXPECT_TRUE(IsEqualCLSID(clsid, CLSID_UploadRetrieve));

    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_UploadRetrieve, CLSCTX_INPROC_SERVER, nullptr,
                                     IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    EXPECT_EQ(S_OK, canUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_FALSE, canUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, canUnloadNow());

    IUnknown* outer = factory;
    void* made = &made;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer, IID_IUnknown, &made));
    EXPECT_EQ(nullptr, made);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IStream, &made));
    EXPECT_EQ(S_OK, canUnloadNow());  // the refused object was deleted again

    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK,
              factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(S_FALSE, canUnloadNow());
    EXPECT_EQ(0u, unknown->Release());
    EXPECT_EQ(S_OK, canUnloadNow());

    auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("Retrieve.dll"), "DllGetClassObject")));
    ASSERT_NE(nullptr, getClassObject);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(IID_IStream, IID_IClassFactory, &made));
    EXPECT_EQ(E_POINTER, getClassObject(CLSID_UploadRetrieve, IID_IClassFactory, nullptr));
    IClassFactory* again = nullptr;
    EXPECT_EQ(S_OK, getClassObject(CLSID_UploadRetrieve, IID_IClassFactory,
                                   reinterpret_cast<void**>(&again)));
    EXPECT_EQ(factory, again);  // created once, kept for the module's life
    again->Release();
    factory->Release();
    CoUninitialize();
}

TEST_F(ComTest, ModuleResources) {
    HMODULE module = GetModuleHandleA("Retrieve.dll");
    ASSERT_NE(nullptr, module);
    char name[32] = {};
    EXPECT_EQ(8, LoadStringA(module, 100, name, sizeof name));
    EXPECT_STREQ("Retrieve", name);
    EXPECT_NE(nullptr, FindResourceA(module, MAKEINTRESOURCEA(1), "TYPELIB"));
    EXPECT_NE(nullptr, FindResourceA(module, MAKEINTRESOURCEA(101), "REGISTRY"));
}

TEST_F(ComTest, InterfacesAndReferenceCounts) {
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
    void* other = &other;
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IStream, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(4u, object->AddRef());
    EXPECT_EQ(3u, object->Release());
    EXPECT_EQ(S_FALSE, canUnloadNow());
    dispatch->Release();
    unknown->Release();
}

TEST_F(ComTest, StringBodyThroughTheVirtualTable) {
    ASSERT_EQ(S_OK, parseString(kSevenLines));
    EXPECT_EQ("ABC", action());
    EXPECT_FALSE(eos());
    EXPECT_EQ("XYZ", nextLine());
    EXPECT_FALSE(eos());
    EXPECT_EQ("", nextLine());
    EXPECT_TRUE(eos());
    EXPECT_EQ(S_OK, object->Reset());
    EXPECT_EQ("h1", nextLine());

    VARIANT data;
    VariantInit(&data);
    ASSERT_EQ(S_OK, object->get_DataToTheEnd(&data));
    ASSERT_EQ(VT_UNKNOWN, data.vt);
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, data.punkVal->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)));
    char buffer[100] = {};
    ULONG got = 0;
    EXPECT_EQ(S_OK, stream->Read(buffer, sizeof buffer, &got));
    EXPECT_EQ(kSevenLines.substr(4), std::string(buffer, got));
    stream->Release();
    EXPECT_EQ(0u, data.punkVal->Release());

    EXPECT_EQ("", rest());
    EXPECT_EQ(S_OK, object->Reset());
    EXPECT_EQ(kSevenLines, rest());
    EXPECT_EQ(S_OK, object->CompleteWork());
    nextLine(E_FAIL);
    EXPECT_EQ(E_FAIL, object->Reset());
    EXPECT_EQ("ABC", action());
    EXPECT_TRUE(logMessages().empty());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(kDump));
}

TEST_F(ComTest, NonAsciiTextCrossesTheInterface) {
    // U+00E9 survives the trip through the ANSI code page.
    std::wstring body = L"1\r\n2\r\n3\r\n4\r\n5\r\ncaf\u00e9\r\n";
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(body.c_str());
    ASSERT_EQ(S_OK, object->ParseRequest(v, 0));
    VariantClear(&v);
    BSTR text = nullptr;
    ASSERT_EQ(S_OK, object->get_Action(&text));
    EXPECT_EQ(std::wstring(L"caf\u00e9"), std::wstring(text, SysStringLen(text)));
    SysFreeString(text);
}

TEST_F(ComTest, ByteArrayBodyWritesTheDumpAndTheLog) {
    std::string body = kSevenLines + "payload";
    ASSERT_EQ(S_OK, parseBytes(body, static_cast<LONG>(body.size())));
    EXPECT_EQ("ABC", action());
    EXPECT_EQ(body, readFile(kDump));
    ASSERT_EQ(S_OK, parseBytes(kSevenLines, 10));  // replaces the previous dump
    EXPECT_EQ(kSevenLines.substr(0, 10), readFile(kDump));
    auto messages = logMessages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("Written to storage: " + std::to_string(body.size()) + " bytes", messages[0]);
    EXPECT_EQ("Written to storage: 10 bytes", messages[1]);

    std::string log = readFile(kLog);
    char expected[32];
    std::snprintf(expected, sizeof expected, "TID=%08lX; ", GetCurrentThreadId());
    EXPECT_EQ(0u, log.find(expected));
}

TEST_F(ComTest, EmptyAndUnusualVariants) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(S_OK, object->ParseRequest(v, 0));
    EXPECT_EQ("", action());
    EXPECT_TRUE(logMessages().empty());

    v.vt = VT_ARRAY | VT_UI1;
    v.parray = nullptr;
    EXPECT_EQ(E_INVALIDARG, object->ParseRequest(v, 5));
    ASSERT_EQ(1u, logMessages().size());
    EXPECT_EQ("NOT A SAFEARRAY: vt=0x00002011 (0x00000000)!!!", logMessages()[0]);

    v.vt = VT_ARRAY | VT_UI1;
    v.parray = makeByteArray(kSevenLines);
    EXPECT_EQ(E_INVALIDARG, object->ParseRequest(v, -5));
    EXPECT_EQ(S_OK, object->ParseRequest(v, 1 << 30));  // cut to the array's 30 bytes
    EXPECT_EQ(kSevenLines, readFile(kDump));
    VariantClear(&v);

    EXPECT_EQ(E_POINTER, object->get_Action(nullptr));
    EXPECT_EQ(E_POINTER, object->get_NextMessageLine(nullptr));
    EXPECT_EQ(E_POINTER, object->get_EOS(nullptr));
    EXPECT_EQ(E_POINTER, object->get_DataToTheEnd(nullptr));
    EXPECT_EQ(E_POINTER, object->get_StringToTheEnd(nullptr));
    EXPECT_EQ(S_OK, object->Log(nullptr));
}

TEST_F(ComTest, ByReferenceVariants) {
    SAFEARRAY* array = makeByteArray(kSevenLines);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_ARRAY | VT_UI1;
    v.pparray = &array;
    ASSERT_EQ(S_OK, object->ParseRequest(v, static_cast<LONG>(kSevenLines.size())));
    EXPECT_EQ("ABC", action());
    SafeArrayDestroy(array);

    BSTR text = makeBstr("1\n2\n3\n4\n5\nREF\nnext");
    v.vt = VT_BYREF | VT_BSTR;
    v.pbstrVal = &text;
    ASSERT_EQ(S_OK, object->ParseRequest(v, 0));
    EXPECT_EQ("REF", action());
    EXPECT_EQ("next", nextLine());
    SysFreeString(text);
}

TEST_F(ComTest, LogIsVerbatimAndCut) {
    BSTR text = makeBstr("50%d %s done");
    EXPECT_EQ(S_OK, object->Log(text));
    SysFreeString(text);
    text = makeBstr(std::string(700, 'x'));
    EXPECT_EQ(S_OK, object->Log(text));
    SysFreeString(text);
    auto messages = logMessages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("50%d %s done", messages[0]);
    EXPECT_EQ(std::string(511, 'x'), messages[1]);
}

TEST_F(ComTest, DumpHeldByAnotherWriterIsLoggedAndTheRequestServed) {
    HANDLE holder = CreateFileA(kDump, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    ASSERT_EQ(S_OK, parseBytes(kSevenLines, static_cast<LONG>(kSevenLines.size())));
    CloseHandle(holder);
    auto messages = logMessages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("DUMP ERROR: 0x80004005", messages[0]);
    EXPECT_EQ("Written to storage: 30 bytes", messages[1]);
    EXPECT_EQ("ABC", action());
    EXPECT_EQ("XYZ", nextLine());
}

// ---- Late binding ---------------------------------------------------------------------------

struct Dispatcher {
    IDispatch* dispatch;

    DISPID id(const wchar_t* name) {
        LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
        DISPID result = -1;
        EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &result))
            << name;
        return result;
    }
    // Arguments in their natural order.
    HRESULT call(const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result) {
        std::vector<VARIANT> reversed(args.rbegin(), args.rend());
        DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr,
                             static_cast<UINT>(reversed.size()), 0};
        EXCEPINFO exception = {};
        UINT argError = 0;
        return dispatch->Invoke(id(name), IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result,
                                &exception, &argError);
    }
    std::string getString(const wchar_t* name) {
        VARIANT result;
        VariantInit(&result);
        EXPECT_EQ(S_OK, call(name, DISPATCH_PROPERTYGET, {}, &result)) << name;
        EXPECT_EQ(VT_BSTR, result.vt);
        std::string out = result.vt == VT_BSTR ? fromBstr(result.bstrVal) : "";
        VariantClear(&result);
        return out;
    }
};

VARIANT longArg(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

TEST_F(ComTest, LateBoundThroughInvoke) {
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
    Dispatcher d{dispatch};
    UINT count = 0;
    EXPECT_EQ(S_OK, dispatch->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(1, d.id(L"ParseRequest"));
    EXPECT_EQ(2, d.id(L"Reset"));
    EXPECT_EQ(3, d.id(L"CompleteWork"));
    EXPECT_EQ(4, d.id(L"Action"));
    EXPECT_EQ(5, d.id(L"NextMessageLine"));
    EXPECT_EQ(6, d.id(L"EOS"));
    EXPECT_EQ(7, d.id(L"DataToTheEnd"));
    EXPECT_EQ(8, d.id(L"StringToTheEnd"));
    EXPECT_EQ(10, d.id(L"Log"));

    // A string body passed by reference to a VARIANT, as script variables are.
    VARIANT body;
    VariantInit(&body);
    body.vt = VT_BSTR;
    body.bstrVal = makeBstr(kSevenLines);
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_VARIANT;
    byRef.pvarVal = &body;
    ASSERT_EQ(S_OK, d.call(L"ParseRequest", DISPATCH_METHOD, {byRef, longArg(0)}, nullptr));
    VariantClear(&body);
    EXPECT_EQ("ABC", d.getString(L"Action"));
    EXPECT_EQ("XYZ", d.getString(L"NextMessageLine"));
    VARIANT flag;
    VariantInit(&flag);
    ASSERT_EQ(S_OK, d.call(L"EOS", DISPATCH_PROPERTYGET, {}, &flag));
    EXPECT_EQ(VT_BOOL, flag.vt);
    EXPECT_EQ(VARIANT_FALSE, flag.boolVal);
    EXPECT_EQ(S_OK, d.call(L"Reset", DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ(kSevenLines, d.getString(L"StringToTheEnd"));

    // A byte array with its byte count.
    VARIANT bytes;
    VariantInit(&bytes);
    bytes.vt = VT_ARRAY | VT_UI1;
    bytes.parray = makeByteArray(kSevenLines + "tail");
    ASSERT_EQ(S_OK, d.call(L"ParseRequest", DISPATCH_METHOD, {bytes, longArg(34)}, nullptr));
    VariantClear(&bytes);
    EXPECT_EQ(kSevenLines + "tail", readFile(kDump));
    VARIANT data;
    VariantInit(&data);
    ASSERT_EQ(S_OK, d.call(L"DataToTheEnd", DISPATCH_PROPERTYGET, {}, &data));
    ASSERT_EQ(VT_UNKNOWN, data.vt);
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, data.punkVal->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)));
    char buffer[64];
    ULONG got = 0;
    stream->Read(buffer, sizeof buffer, &got);
    EXPECT_EQ("XYZ\r\ntail", std::string(buffer, got));
    stream->Release();
    VariantClear(&data);

    // An empty VARIANT.
    VARIANT empty;
    VariantInit(&empty);
    ASSERT_EQ(S_OK, d.call(L"ParseRequest", DISPATCH_METHOD, {empty, longArg(0)}, nullptr));
    EXPECT_EQ("", d.getString(L"Action"));

    VARIANT logText;
    VariantInit(&logText);
    logText.vt = VT_BSTR;
    logText.bstrVal = makeBstr("late bound");
    EXPECT_EQ(S_OK, d.call(L"Log", DISPATCH_METHOD, {logText}, nullptr));
    VariantClear(&logText);
    EXPECT_EQ(S_OK, d.call(L"CompleteWork", DISPATCH_METHOD, {}, nullptr));
    EXPECT_NE(S_OK, d.call(L"Reset", DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ("late bound", logMessages().back());

    VARIANT ignored;
    VariantInit(&ignored);
    LPOLESTR unknownName[1] = {const_cast<LPOLESTR>(L"NoSuchMember")};
    DISPID unknownId = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME,
              dispatch->GetIDsOfNames(IID_NULL, unknownName, 1, LOCALE_USER_DEFAULT, &unknownId));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              dispatch->Invoke(4, IID_IStream, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                               &ignored, nullptr, nullptr));
    dispatch->Release();
}

TEST_F(ComTest, TypeInformationMatchesTheInterface) {
    ITypeInfo* info = nullptr;
    ASSERT_EQ(S_OK, object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualIID(attr->guid, IID_IUploadRetrieve));
    EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
    EXPECT_TRUE((attr->wTypeFlags & TYPEFLAG_FDUAL) != 0);
    info->ReleaseTypeAttr(attr);
    struct Member {
        const wchar_t* name;
        DISPID id;
        const wchar_t* help;
    };
    for (const Member& m :
         {Member{L"ParseRequest", 1, L"accepts HTTP request"},
          Member{L"Reset", 2, L"resets parser"}, Member{L"CompleteWork", 3, L"completes object"},
          Member{L"Action", 4, L"returns custom ACTION attribute"},
          Member{L"NextMessageLine", 5, L"returns text line of message"},
          Member{L"EOS", 6, L"returns EOS flag"},
          Member{L"DataToTheEnd", 7, L"returns data to the end of message"},
          Member{L"StringToTheEnd", 8, L"returns text string to the end of message"},
          Member{L"Log", 10, L"writes log"}}) {
        BSTR name = nullptr;
        BSTR help = nullptr;
        ASSERT_EQ(S_OK, info->GetDocumentation(m.id, &name, &help, nullptr, nullptr)) << m.name;
        EXPECT_EQ(std::wstring(m.name), std::wstring(name));
        EXPECT_EQ(std::wstring(m.help), std::wstring(help));
        SysFreeString(name);
        SysFreeString(help);
    }
    ITypeLib* library = nullptr;
    UINT index = 0;
    ASSERT_EQ(S_OK, info->GetContainingTypeLib(&library, &index));
    TLIBATTR* libAttr = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&libAttr));
    EXPECT_TRUE(IsEqualGUID(libAttr->guid, LIBID_RETRIEVELib));
    EXPECT_EQ(0x409u, libAttr->lcid);
    EXPECT_EQ(1, libAttr->wMajorVerNum);
    EXPECT_EQ(0, libAttr->wMinorVerNum);
    library->ReleaseTLibAttr(libAttr);
    BSTR libName = nullptr;
    BSTR libHelp = nullptr;
    library->GetDocumentation(-1, &libName, &libHelp, nullptr, nullptr);
    EXPECT_EQ(std::wstring(L"RETRIEVELib"), std::wstring(libName));
    EXPECT_EQ(std::wstring(L"Retrieve 1.0 Type Library"), std::wstring(libHelp));
    SysFreeString(libName);
    SysFreeString(libHelp);
    ITypeInfo* coclass = nullptr;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(CLSID_UploadRetrieve, &coclass));
    BSTR className = nullptr;
    BSTR classHelp = nullptr;
    coclass->GetDocumentation(MEMBERID_NIL, &className, &classHelp, nullptr, nullptr);
    EXPECT_EQ(std::wstring(L"UploadRetrieve"), std::wstring(className));
    EXPECT_EQ(std::wstring(L"UploadRetrieve Class"), std::wstring(classHelp));
    SysFreeString(className);
    SysFreeString(classHelp);
    coclass->Release();
    library->Release();
    info->Release();
}

// ---- Concurrency ------------------------------------------------------------------------------

TEST(Concurrency, EightThreadsGetTheirOwnResults) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    DeleteFileA(kLog);
    std::atomic<int> failures{0};
    std::atomic<int> served{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &failures, &served] {
            if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
                ++failures;
                return;
            }
            for (int i = 0; i < 200; ++i) {
                IUploadRetrieve* o = create();
                if (o == nullptr) {
                    ++failures;
                    continue;
                }
                std::string tag = std::to_string(t) + "/" + std::to_string(i);
                std::string body =
                    "a\r\nb\r\nc\r\nd\r\ne\r\nACT " + tag + "\r\nline " + tag + "\r\nrest " + tag;
                VARIANT v;
                VariantInit(&v);
                if (i % 2 == 0) {  // alternate string and byte-array bodies (with dumps)
                    v.vt = VT_BSTR;
                    v.bstrVal = makeBstr(body);
                } else {
                    v.vt = VT_ARRAY | VT_UI1;
                    v.parray = makeByteArray(body);
                }
                bool ok = o->ParseRequest(v, static_cast<LONG>(body.size())) == S_OK;
                VariantClear(&v);
                BSTR text = nullptr;
                ok = ok && o->get_Action(&text) == S_OK && fromBstr(text) == "ACT " + tag;
                SysFreeString(text);
                text = nullptr;
                ok = ok && o->get_NextMessageLine(&text) == S_OK && fromBstr(text) == "line " + tag;
                SysFreeString(text);
                text = nullptr;
                ok = ok && o->get_StringToTheEnd(&text) == S_OK && fromBstr(text) == "rest " + tag;
                SysFreeString(text);
                ok = ok && o->CompleteWork() == S_OK && o->Release() == 0;
                if (ok) {
                    ++served;
                } else {
                    ++failures;
                }
            }
            CoUninitialize();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(1600, served.load());
    EXPECT_EQ(S_OK, canUnloadNow());

    // Every byte-array request logged its stored size; dumps that met another writer logged
    // DUMP ERROR and were served all the same.
    int written = 0;
    int dumpErrors = 0;
    for (const std::string& m : logMessages()) {
        if (m.rfind("Written to storage: ", 0) == 0) {
            ++written;
        } else if (m == "DUMP ERROR: 0x80004005") {
            ++dumpErrors;
        } else {
            ADD_FAILURE() << "unexpected log line: " << m;
        }
    }
    EXPECT_EQ(800, written);
    std::printf("concurrent dump contention: %d of 800 dumps refused\n", dumpErrors);
    CoUninitialize();
}

TEST(Concurrency, LogLinesFromManyThreadsStayWhole) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    DeleteFileA(kLog);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            IUploadRetrieve* o = create();
            for (int i = 0; o != nullptr && i < 500; ++i) {
                BSTR text = makeBstr("thread " + std::to_string(t) + " line " + std::to_string(i));
                o->Log(text);
                SysFreeString(text);
            }
            if (o != nullptr) o->Release();
            CoUninitialize();
        });
    }
    for (auto& thread : threads) thread.join();
    auto messages = logMessages();
    EXPECT_EQ(4000u, messages.size());
    std::vector<int> next(8, 0);
    for (const std::string& m : messages) {
        int t = -1;
        int i = -1;
        if (std::sscanf(m.c_str(), "thread %d line %d", &t, &i) != 2 || t < 0 || t > 7 ||
            i != next[t]) {
            ADD_FAILURE() << "damaged or out-of-order log line: " << m;
            break;
        }
        ++next[t];
    }
    CoUninitialize();
}

// ---- What only a real COM runtime shows ----------------------------------------------------

// Debugger output of this process, caught as the DBG_PRINTEXCEPTION_C that OutputDebugStringA
// raises before any debugger sees it.
std::mutex debugLock;
std::vector<std::string> debugLines;

LONG CALLBACK catchDebugOutput(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        std::lock_guard<std::mutex> guard(debugLock);
        if (text != nullptr) debugLines.emplace_back(text);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

std::vector<std::string> takeDebugOutput() {
    std::lock_guard<std::mutex> guard(debugLock);
    std::vector<std::string> lines;
    lines.swap(debugLines);
    return lines;
}

bool anyStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

TEST_F(ComTest, UnopenableDumpAndLogStillServeTheRequest) {
    PVOID handler = AddVectoredExceptionHandler(1, catchDebugOutput);
    takeDebugOutput();
    // A directory where the dump file should be: the file cannot be created.
    ASSERT_TRUE(CreateDirectoryA(kDump, nullptr));
    ASSERT_EQ(S_OK, parseBytes(kSevenLines, static_cast<LONG>(kSevenLines.size())));
    EXPECT_EQ("ABC", action());
    EXPECT_EQ("XYZ", nextLine());
    auto messages = logMessages();
    ASSERT_EQ(2u, messages.size());
    EXPECT_EQ("DUMP ERROR: 0x80004005", messages[0]);
    EXPECT_TRUE(anyStartsWith(
        takeDebugOutput(), "Retrieve: dump file c:\\retrieve.dat cannot be created: 0x80004005"));

    // The log unopenable as well: every method still succeeds, and the dump failure is still
    // visible outside the log.
    DeleteFileA(kLog);
    ASSERT_TRUE(CreateDirectoryA(kLog, nullptr));
    ASSERT_EQ(S_OK, parseBytes(kSevenLines, static_cast<LONG>(kSevenLines.size())));
    EXPECT_EQ("XYZ", nextLine());
    BSTR text = makeBstr("nowhere to go");
    EXPECT_EQ(S_OK, object->Log(text));
    SysFreeString(text);
    EXPECT_TRUE(anyStartsWith(takeDebugOutput(), "Retrieve: dump file c:\\retrieve.dat"));
    RemoveDirectoryA(kLog);
    RemoveDirectoryA(kDump);
    RemoveVectoredExceptionHandler(handler);
}

TEST_F(ComTest, NullDispatchAndVariantArrayBodies) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_NULL;
    EXPECT_EQ(S_OK, object->ParseRequest(v, 10));
    EXPECT_EQ("", action());
    EXPECT_EQ("", rest());

    // An interface body stores nothing and is left alone (no reference kept or dropped).
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
    v.vt = VT_DISPATCH;
    v.pdispVal = dispatch;
    EXPECT_EQ(S_OK, object->ParseRequest(v, 10));
    EXPECT_EQ(1u, dispatch->Release());  // only the fixture's reference is left
    EXPECT_EQ("", rest());

    // What a script's array becomes: VARIANTs holding the body's text, refused.
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    for (LONG i = 0; i < 3; ++i) {
        VARIANT element;
        VariantInit(&element);
        element.vt = VT_BSTR;
        element.bstrVal = makeBstr(kSevenLines);
        SafeArrayPutElement(array, &i, &element);
        VariantClear(&element);
    }
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = array;
    EXPECT_EQ(E_INVALIDARG, object->ParseRequest(v, 48));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(kDump));
    ASSERT_FALSE(logMessages().empty());
    // The array's features follow the type: VARIANT elements (0x0800) among others.
    EXPECT_EQ(0u, logMessages().back().find("ARRAY OF POINTERS: vt=0x0000200C (0x0000"));
    EXPECT_TRUE((array->fFeatures & FADF_VARIANT) != 0);
    // Through a reference to a VARIANT, as the script host passes it.
    VARIANT inner = v;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_VARIANT;
    byRef.pvarVal = &inner;
    EXPECT_EQ(E_INVALIDARG, object->ParseRequest(byRef, 48));
    SafeArrayDestroy(array);

    array = SafeArrayCreateVector(VT_BSTR, 0, 2);
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = array;
    EXPECT_EQ(E_INVALIDARG, object->ParseRequest(v, 16));
    SafeArrayDestroy(array);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(kDump));
}

TEST_F(ComTest, MultiDimensionalArraysAndLowerBounds) {
    // Two dimensions with lower bounds 5 and -2: the data is taken whole, as bytes.
    std::string body = kSevenLines + "!!!!!!";  // 36 bytes = 4 x 9
    SAFEARRAYBOUND bounds[2] = {{4, 5}, {9, -2}};
    SAFEARRAY* grid = SafeArrayCreate(VT_UI1, 2, bounds);
    ASSERT_NE(nullptr, grid);
    void* data = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAccessData(grid, &data));
    std::memcpy(data, body.data(), body.size());
    SafeArrayUnaccessData(grid);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = grid;
    ASSERT_EQ(S_OK, object->ParseRequest(v, 1000));
    EXPECT_EQ(body, readFile(kDump));
    EXPECT_EQ("ABC", action());
    EXPECT_EQ("XYZ", nextLine());
    EXPECT_EQ("!!!!!!", rest());
    SafeArrayDestroy(grid);

    // A vector of 4-byte integers starting at index -3.
    SAFEARRAY* numbers = SafeArrayCreateVector(VT_I4, -3, 9);
    ASSERT_EQ(S_OK, SafeArrayAccessData(numbers, &data));
    std::memcpy(data, body.data(), body.size());
    SafeArrayUnaccessData(numbers);
    v.vt = VT_ARRAY | VT_I4;
    v.parray = numbers;
    ASSERT_EQ(S_OK, object->ParseRequest(v, 20));
    EXPECT_EQ(body.substr(0, 20), readFile(kDump));
    SafeArrayDestroy(numbers);
}

TEST_F(ComTest, LateBindingAsVBScriptDoesIt) {
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
    Dispatcher d{dispatch};
    // Names are found whatever their case.
    EXPECT_EQ(1, d.id(L"parserequest"));
    EXPECT_EQ(4, d.id(L"ACTION"));
    EXPECT_EQ(5, d.id(L"nextMESSAGEline"));
    EXPECT_EQ(6, d.id(L"eos"));
    EXPECT_EQ(10, d.id(L"LOG"));

    // cbTotalBytes given as a string and as a double is coerced to a long.
    const WORD both = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    VARIANT bytes;
    VariantInit(&bytes);
    bytes.vt = VT_ARRAY | VT_UI1;
    bytes.parray = makeByteArray(kSevenLines + "tail");
    VARIANT count;
    VariantInit(&count);
    count.vt = VT_BSTR;
    count.bstrVal = SysAllocString(L"30");
    EXPECT_EQ(S_OK, d.call(L"ParseRequest", both, {bytes, count}, nullptr));
    VariantClear(&count);
    EXPECT_EQ(kSevenLines, readFile(kDump));
    count.vt = VT_R8;
    count.dblVal = 12.0;
    EXPECT_EQ(S_OK, d.call(L"ParseRequest", DISPATCH_METHOD, {bytes, count}, nullptr));
    EXPECT_EQ(kSevenLines.substr(0, 12), readFile(kDump));
    count.vt = VT_BSTR;
    count.bstrVal = SysAllocString(L"many");
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              d.call(L"ParseRequest", DISPATCH_METHOD, {bytes, count}, nullptr));
    VariantClear(&count);

    // Properties read with both flags, as VBScript asks for them, and methods called so too.
    EXPECT_EQ(S_OK, d.call(L"ParseRequest", both, {bytes, longArg(34)}, nullptr));
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, d.call(L"Action", both, {}, &result));
    ASSERT_EQ(VT_BSTR, result.vt);
    EXPECT_EQ("ABC", fromBstr(result.bstrVal));
    VariantClear(&result);
    ASSERT_EQ(S_OK, d.call(L"NextMessageLine", both, {}, &result));
    EXPECT_EQ("XYZ", fromBstr(result.bstrVal));
    VariantClear(&result);
    ASSERT_EQ(S_OK, d.call(L"EOS", both, {}, &result));
    EXPECT_EQ(VT_BOOL, result.vt);
    EXPECT_EQ(S_OK, d.call(L"Reset", both, {}, &result));
    VariantClear(&result);
    ASSERT_EQ(S_OK, d.call(L"DataToTheEnd", both, {}, &result));
    EXPECT_EQ(VT_UNKNOWN, result.vt);
    VariantClear(&result);

    // Wrong argument counts are refused without touching the object; too many as on Windows,
    // whose DispInvoke refuses them (Wine's passes the extra ones over).
    EXPECT_EQ(S_OK, d.call(L"Reset", DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, d.call(L"ParseRequest", DISPATCH_METHOD, {bytes}, nullptr));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              d.call(L"ParseRequest", DISPATCH_METHOD, {bytes, longArg(1), longArg(2)}, nullptr));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, d.call(L"Reset", DISPATCH_METHOD, {longArg(1)}, nullptr));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, d.call(L"Log", DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ("h1", d.getString(L"NextMessageLine"));
    VariantClear(&bytes);

    // One type information only.
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(&info);
    EXPECT_EQ(DISP_E_BADINDEX, dispatch->GetTypeInfo(1, LOCALE_USER_DEFAULT, &info));
    EXPECT_EQ(nullptr, info);
    ASSERT_EQ(S_OK, dispatch->GetTypeInfo(0, 0x411, &info));  // another locale gets it too
    info->Release();
    dispatch->Release();
}

TEST_F(ComTest, TypeLibraryDescribesEveryMember) {
    ITypeInfo* info = nullptr;
    ASSERT_EQ(S_OK, object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info));
    // The dual interface's own description (not its dispatch view).
    HREFTYPE ref = 0;
    ITypeInfo* vtable = nullptr;
    ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(-1, &ref));
    ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, &vtable));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    EXPECT_EQ(9, attr->cFuncs);
    EXPECT_TRUE((attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) != 0);
    EXPECT_TRUE((attr->wTypeFlags & TYPEFLAG_FDUAL) != 0);
    vtable->ReleaseTypeAttr(attr);
    struct Expected {
        const wchar_t* name;
        INVOKEKIND kind;
        short params;
        VARTYPE first;   // type of the first parameter
        VARTYPE second;  // of the second, when there is one
        short slot;      // virtual-table slot
    };
    const Expected members[] = {
        {L"ParseRequest", INVOKE_FUNC, 2, VT_VARIANT, VT_I4, 7},
        {L"Reset", INVOKE_FUNC, 0, VT_EMPTY, VT_EMPTY, 8},
        {L"CompleteWork", INVOKE_FUNC, 0, VT_EMPTY, VT_EMPTY, 9},
        {L"Action", INVOKE_PROPERTYGET, 1, VT_PTR, VT_EMPTY, 10},
        {L"NextMessageLine", INVOKE_PROPERTYGET, 1, VT_PTR, VT_EMPTY, 11},
        {L"EOS", INVOKE_PROPERTYGET, 1, VT_PTR, VT_EMPTY, 12},
        {L"DataToTheEnd", INVOKE_PROPERTYGET, 1, VT_PTR, VT_EMPTY, 13},
        {L"StringToTheEnd", INVOKE_PROPERTYGET, 1, VT_PTR, VT_EMPTY, 14},
        {L"Log", INVOKE_FUNC, 1, VT_BSTR, VT_EMPTY, 15},
    };
    for (UINT i = 0; i < 9; ++i) {
        FUNCDESC* f = nullptr;
        ASSERT_EQ(S_OK, vtable->GetFuncDesc(i, &f));
        const Expected& m = members[i];
        BSTR names[3] = {};
        UINT got = 0;
        vtable->GetNames(f->memid, names, 3, &got);
        EXPECT_EQ(std::wstring(m.name), std::wstring(names[0])) << i;
        EXPECT_EQ(m.kind, f->invkind) << i;
        EXPECT_EQ(m.params, f->cParams) << i;
        EXPECT_EQ(VT_HRESULT, f->elemdescFunc.tdesc.vt) << i;
        EXPECT_EQ(m.slot * static_cast<short>(sizeof(void*)), f->oVft) << i;
        if (f->cParams >= 1) {
            EXPECT_EQ(m.first, f->lprgelemdescParam[0].tdesc.vt) << i;
        }
        if (f->cParams == 2) {
            EXPECT_EQ(m.second, f->lprgelemdescParam[1].tdesc.vt);
        }
        if (m.kind == INVOKE_PROPERTYGET) {
            const PARAMDESC& p = f->lprgelemdescParam[0].paramdesc;
            EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL,
                      p.wParamFlags & (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL | PARAMFLAG_FIN))
                << i;
        } else if (f->cParams > 0) {
            EXPECT_EQ(PARAMFLAG_FIN, f->lprgelemdescParam[0].paramdesc.wParamFlags & 0x3) << i;
        }
        if (i == 0) {
            ASSERT_EQ(3u, got);
            EXPECT_EQ(std::wstring(L"vRequest"), std::wstring(names[1]));
            EXPECT_EQ(std::wstring(L"cbTotalBytes"), std::wstring(names[2]));
        }
        for (BSTR& n : names) SysFreeString(n);
        vtable->ReleaseFuncDesc(f);
    }
    // The class: creatable, with IUploadRetrieve as its default interface.
    ITypeLib* library = nullptr;
    UINT index = 0;
    ASSERT_EQ(S_OK, info->GetContainingTypeLib(&library, &index));
    EXPECT_EQ(2u, library->GetTypeInfoCount());
    ITypeInfo* coclass = nullptr;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(CLSID_UploadRetrieve, &coclass));
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_COCLASS, attr->typekind);
    EXPECT_TRUE((attr->wTypeFlags & TYPEFLAG_FCANCREATE) != 0);
    EXPECT_EQ(1, attr->cImplTypes);
    coclass->ReleaseTypeAttr(attr);
    INT implFlags = 0;
    EXPECT_EQ(S_OK, coclass->GetImplTypeFlags(0, &implFlags));
    EXPECT_TRUE((implFlags & IMPLTYPEFLAG_FDEFAULT) != 0);
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &ref));
    ITypeInfo* defaultInterface = nullptr;
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(ref, &defaultInterface));
    ASSERT_EQ(S_OK, defaultInterface->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualIID(attr->guid, IID_IUploadRetrieve));
    defaultInterface->ReleaseTypeAttr(attr);
    defaultInterface->Release();
    coclass->Release();
    library->Release();
    vtable->Release();
    info->Release();
}

TEST(ModuleLifetime, AHandedOutStreamKeepsTheModuleLoaded) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    IUploadRetrieve* o = create();
    ASSERT_NE(nullptr, o);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = makeBstr(kSevenLines + "kept");
    ASSERT_EQ(S_OK, o->ParseRequest(v, 0));
    VariantClear(&v);
    ASSERT_EQ(S_OK, o->get_DataToTheEnd(&v));
    EXPECT_EQ(0u, o->Release());
    // The object is gone; the stream alone keeps the module.
    EXPECT_EQ(S_FALSE, canUnloadNow());
    CoFreeUnusedLibrariesEx(0, 0);
    ASSERT_NE(nullptr, GetModuleHandleA("Retrieve.dll"));
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, v.punkVal->QueryInterface(IID_IStream, reinterpret_cast<void**>(&stream)));
    char buffer[32];
    ULONG got = 0;
    EXPECT_EQ(S_OK, stream->Read(buffer, sizeof buffer, &got));
    EXPECT_EQ("XYZ\r\nkept", std::string(buffer, got));
    stream->Release();
    EXPECT_EQ(0u, v.punkVal->Release());
    EXPECT_EQ(S_OK, canUnloadNow());

    // Unloaded now, and loaded again on the next creation, late binding included.
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(nullptr, GetModuleHandleA("Retrieve.dll"));
    o = create();
    ASSERT_NE(nullptr, o);
    EXPECT_NE(nullptr, GetModuleHandleA("Retrieve.dll"));
    IDispatch* dispatch = nullptr;
    ASSERT_EQ(S_OK, o->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
    Dispatcher d{dispatch};
    EXPECT_EQ("", d.getString(L"Action"));
    dispatch->Release();
    EXPECT_EQ(0u, o->Release());
    CoUninitialize();
}

TEST(ModuleLifetime, UnmatchedLockServerDoesNotFreeALivingObject) {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_UploadRetrieve, CLSCTX_INPROC_SERVER, nullptr,
                                     IID_IClassFactory, reinterpret_cast<void**>(&factory)));
    IUnknown* living = nullptr;
    ASSERT_EQ(S_OK,
              factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&living)));
    EXPECT_EQ(E_UNEXPECTED, factory->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, canUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(E_UNEXPECTED, factory->LockServer(FALSE));
    EXPECT_EQ(S_FALSE, canUnloadNow());
    EXPECT_EQ(0u, living->Release());
    EXPECT_EQ(S_OK, canUnloadNow());
    factory->Release();
    CoUninitialize();
}

TEST(ModuleLifetime, LoadedAndFreedByHandTwice) {
    wchar_t path[MAX_PATH] = {};
    HKEY key = nullptr;
    DWORD size = sizeof path;
    ASSERT_EQ(ERROR_SUCCESS,
              RegGetValueW(HKEY_CLASSES_ROOT,
                           L"CLSID\\{708C71EC-6889-4892-94E5-D104D0172086}\\InprocServer32",
                           nullptr, RRF_RT_REG_SZ, nullptr, path, &size));
    (void)key;
    for (int round = 0; round < 2; ++round) {
        HMODULE module = LoadLibraryW(path);
        ASSERT_NE(nullptr, module);
        auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
        ASSERT_NE(nullptr, getClassObject);
        IClassFactory* factory = nullptr;
        ASSERT_EQ(S_OK, getClassObject(CLSID_UploadRetrieve, IID_IClassFactory,
                                       reinterpret_cast<void**>(&factory)));
        IUploadRetrieve* o = nullptr;
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUploadRetrieve,
                                                reinterpret_cast<void**>(&o)));
        factory->Release();
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = makeBstr(kSevenLines);
        EXPECT_EQ(S_OK, o->ParseRequest(v, 0));
        VariantClear(&v);
        BSTR text = nullptr;
        EXPECT_EQ(S_OK, o->get_Action(&text));
        EXPECT_EQ("ABC", fromBstr(text));
        SysFreeString(text);
        EXPECT_EQ(S_FALSE, canUnload());
        EXPECT_EQ(0u, o->Release());
        EXPECT_EQ(S_OK, canUnload());
        EXPECT_TRUE(FreeLibrary(module));
    }
}

// A module path that the ANSI code page cannot represent reaches InprocServer32 unchanged.
TEST(Registration, ModulePathOutsideTheCodePage) {
    wchar_t original[MAX_PATH] = {};
    DWORD size = sizeof original;
    const wchar_t* inproc = L"CLSID\\{708C71EC-6889-4892-94E5-D104D0172086}\\InprocServer32";
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CLASSES_ROOT, inproc, nullptr, RRF_RT_REG_SZ,
                                          nullptr, original, &size));
    const std::wstring directory = L"C:\\retrieve \u0416\u4E2D";
    const std::wstring copy = directory + L"\\Retrieve \u0416.dll";
    CreateDirectoryW(directory.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(original, copy.c_str(), FALSE));
    auto registerAt = [](const std::wstring& path) {
        HMODULE module = LoadLibraryW(path.c_str());
        if (module == nullptr) return E_FAIL;
        auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(GetProcAddress(module, "DllRegisterServer")));
        HRESULT hr = registerServer != nullptr ? registerServer() : E_FAIL;
        FreeLibrary(module);
        return hr;
    };
    EXPECT_EQ(S_OK, registerAt(copy));
    wchar_t stored[MAX_PATH] = {};
    size = sizeof stored;
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CLASSES_ROOT, inproc, nullptr, RRF_RT_REG_SZ,
                                          nullptr, stored, &size));
    EXPECT_EQ(copy, std::wstring(stored));
    // Registered from there, the class is created from there.
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    IUploadRetrieve* o = create();
    EXPECT_NE(nullptr, o);
    if (o != nullptr) o->Release();
    CoFreeUnusedLibrariesEx(0, 0);
    CoUninitialize();
    EXPECT_EQ(S_OK, registerAt(original));
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(directory.c_str());
}

// Bodies in a multibyte code page: run with the process's ANSI code page 932 (the suite's
// script starts this test alone under a Japanese locale).
TEST_F(ComTest, Multibyte932BodiesKeepTheirCharacters) {
    ASSERT_EQ(932u, GetACP()) << "run under LC_ALL=ja_JP.UTF-8";
    // Head lines, an ACTION of two kana, a line whose second byte is 0x5C, and a rest that mixes
    // single- and double-byte characters.
    std::string body =
        "1\r\n2\r\n3\r\n4\r\n5\r\n\x82\xa0\x82\xa2\r\n\x95\x5c\x8e\xa6\r\nA\x93\xfa"
        "B\x96\x7b\x8c\xea\r\n";
    ASSERT_EQ(S_OK, parseBytes(body, static_cast<LONG>(body.size())));
    auto wide = [](BSTR text) { return std::wstring(text, SysStringLen(text)); };
    BSTR text = nullptr;
    ASSERT_EQ(S_OK, object->get_Action(&text));
    EXPECT_EQ(std::wstring(L"\u3042\u3044"), wide(text));
    SysFreeString(text);
    ASSERT_EQ(S_OK, object->get_NextMessageLine(&text));
    EXPECT_EQ(std::wstring(L"\u8868\u793A"), wide(text));
    SysFreeString(text);
    ASSERT_EQ(S_OK, object->get_StringToTheEnd(&text));
    EXPECT_EQ(std::wstring(L"A\u65E5B\u672C\u8A9E\r\n"), wide(text));
    EXPECT_EQ(7u, SysStringLen(text));
    SysFreeString(text);

    // A string body goes to the code page and back unchanged.
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(L"1\n2\n3\n4\n5\n\u65E5\u672C\u8A9E\n\u8868\u793A");
    ASSERT_EQ(S_OK, object->ParseRequest(v, 0));
    VariantClear(&v);
    ASSERT_EQ(S_OK, object->get_Action(&text));
    EXPECT_EQ(std::wstring(L"\u65E5\u672C\u8A9E"), wide(text));
    SysFreeString(text);
    ASSERT_EQ(S_OK, object->get_NextMessageLine(&text));
    EXPECT_EQ(std::wstring(L"\u8868\u793A"), wide(text));
    SysFreeString(text);
}

}  // namespace
