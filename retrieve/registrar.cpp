#include "registrar.h"

#include <oleauto.h>

#include <cstring>
#include <string>
#include <vector>

#include "com_guard.h"
#include "iupload_retrieve.h"
#include "registry_script.h"
#include "type_info_cache.h"

namespace brimvox::retrieve {

namespace {

constexpr int kScriptResource = 101;

HRESULT fromWin32(LONG error) {
    return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(error));
}

// The module's file name in the string type that `get` (GetModuleFileNameA or W) fills; empty
// if it cannot be had.
template <class String, class Get>
String modulePath(HINSTANCE module, Get get) {
    String path(MAX_PATH, 0);
    for (;;) {
        DWORD n = get(module, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return String();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The script's text is ASCII; the module path is carried as UTF-8 and every name and value goes
// to the registry through the wide functions, so a path that the ANSI code page cannot
// represent is stored as it is.
std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0],
                            length);
    }
    return out;
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length,
                            nullptr, nullptr);
    }
    return out;
}

HRESULT loadScript(HINSTANCE module, std::vector<RegistryRoot>& roots) {
    HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(kScriptResource), "REGISTRY");
    if (found == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    HGLOBAL loaded = LoadResource(module, found);
    DWORD size = SizeofResource(module, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    std::string text(static_cast<const char*>(bytes), size);
    std::string error;
    if (!parseRegistryScript(text, roots, error)) return E_UNEXPECTED;
    std::wstring path = modulePath<std::wstring>(module, GetModuleFileNameW);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    substituteVariable(roots, "MODULE", utf8(path));
    return S_OK;
}

bool rootKey(const std::string& name, HKEY& key) {
    if (name == "HKCR" || name == "HKEY_CLASSES_ROOT") {
        key = HKEY_CLASSES_ROOT;
    } else if (name == "HKCU" || name == "HKEY_CURRENT_USER") {
        key = HKEY_CURRENT_USER;
    } else if (name == "HKLM" || name == "HKEY_LOCAL_MACHINE") {
        key = HKEY_LOCAL_MACHINE;
    } else {
        return false;
    }
    return true;
}

HRESULT setString(HKEY key, const std::string& name, const std::string& data) {
    std::wstring value = wide(data);
    std::wstring valueName = wide(name);
    return fromWin32(RegSetValueExW(key, name.empty() ? nullptr : valueName.c_str(), 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(value.c_str()),
                                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

HRESULT writeEntry(HKEY parent, const RegistryEntry& entry) {
    if (entry.isValue) return setString(parent, entry.name, entry.data);
    std::wstring name = wide(entry.name);
    if (entry.forceRemove) RegDeleteTreeW(parent, name.c_str());
    HKEY key = nullptr;
    HRESULT hr = fromWin32(RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0,
                                           KEY_READ | KEY_WRITE, nullptr, &key, nullptr));
    if (FAILED(hr)) return hr;
    if (entry.hasData) hr = setString(key, std::string(), entry.data);
    for (const RegistryEntry& child : entry.children) {
        if (FAILED(hr)) break;
        hr = writeEntry(key, child);
    }
    RegCloseKey(key);
    return hr;
}

void removeEntry(HKEY parent, const RegistryEntry& entry) {
    std::wstring name = wide(entry.name);
    if (entry.isValue) {
        RegDeleteValueW(parent, name.c_str());
        return;
    }
    if (!entry.noRemove) {
        RegDeleteTreeW(parent, name.c_str());
        RegDeleteKeyW(parent, name.c_str());
        return;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) {
        return;
    }
    for (const RegistryEntry& child : entry.children) removeEntry(key, child);
    RegCloseKey(key);
}

// The class a ProgID key of the script names (its CLSID subkey's value), or an empty text when
// the entry is no ProgID.
std::string progIdClass(const RegistryEntry& entry) {
    if (entry.isValue || entry.noRemove) return std::string();
    for (const RegistryEntry& child : entry.children) {
        if (!child.isValue && child.hasData && _stricmp(child.name.c_str(), "CLSID") == 0) {
            return child.data;
        }
    }
    return std::string();
}

// On 64-bit Windows the 32- and 64-bit programs see separate CLSID keys but share the ProgID
// keys. True when the class is still registered as an in-process server in the other view, so
// that its ProgIDs must stay.
bool registeredInOtherView(const std::string& clsid) {
    REGSAM otherView = KEY_WOW64_64KEY;
    if (sizeof(void*) == 8) {
        otherView = KEY_WOW64_32KEY;
    } else {
        BOOL wow64 = FALSE;
        if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return false;
    }
    std::wstring path = L"CLSID\\" + wide(clsid) + L"\\InprocServer32";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | otherView, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

SYSKIND systemKind() {
    return sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
}

}  // namespace

HRESULT registerScript(HINSTANCE module) {
    return comGuard([&]() -> HRESULT {
        std::vector<RegistryRoot> roots;
        HRESULT hr = loadScript(module, roots);
        if (FAILED(hr)) return hr;
        for (const RegistryRoot& root : roots) {
            HKEY key;
            if (!rootKey(root.name, key)) return E_UNEXPECTED;
            for (const RegistryEntry& entry : root.entries) {
                hr = writeEntry(key, entry);
                if (FAILED(hr)) return hr;
            }
        }
        return S_OK;
    });
}

HRESULT unregisterScript(HINSTANCE module) {
    return comGuard([&]() -> HRESULT {
        std::vector<RegistryRoot> roots;
        HRESULT hr = loadScript(module, roots);
        if (FAILED(hr)) return hr;
        for (const RegistryRoot& root : roots) {
            HKEY key;
            if (!rootKey(root.name, key)) continue;
            // The class keys first, then the ProgIDs, each kept while the other view's
            // programs still have the class registered.
            for (const RegistryEntry& entry : root.entries) {
                if (progIdClass(entry).empty()) removeEntry(key, entry);
            }
            for (const RegistryEntry& entry : root.entries) {
                std::string clsid = progIdClass(entry);
                if (!clsid.empty() && !(key == HKEY_CLASSES_ROOT && registeredInOtherView(clsid))) {
                    removeEntry(key, entry);
                }
            }
        }
        return S_OK;
    });
}

HRESULT registerTypeLibrary(HINSTANCE module) {
    return comGuard([&]() -> HRESULT {
        std::wstring path = modulePath<std::wstring>(module, GetModuleFileNameW);
        if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
        ITypeLib* library = nullptr;
        HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
        if (FAILED(hr)) {
            size_t dot = path.find_last_of(L'.');
            size_t slash = path.find_last_of(L"\\/");
            if (dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash)) {
                path.resize(dot);
            }
            path += L".tlb";
            hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
            if (FAILED(hr)) return hr;
        }
        std::wstring directory = path.substr(0, path.find_last_of(L"\\/") + 1);
        hr = RegisterTypeLib(library, const_cast<LPOLESTR>(path.c_str()),
                             directory.empty() ? nullptr : const_cast<LPOLESTR>(directory.c_str()));
        library->Release();
        return hr;
    });
}

HRESULT unregisterTypeLibrary() {
    typedef HRESULT(WINAPI * UnRegisterTypeLibFn)(REFGUID, WORD, WORD, LCID, SYSKIND);
    HMODULE oleaut = LoadLibraryA("oleaut32.dll");
    if (oleaut == nullptr) return S_OK;
    auto unregister = reinterpret_cast<UnRegisterTypeLibFn>(
        reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")));
    if (unregister != nullptr) {
        unregister(LIBID_RETRIEVELib, kTypeLibraryMajor, kTypeLibraryMinor, kTypeLibraryLocale,
                   systemKind());
    }
    FreeLibrary(oleaut);
    return S_OK;
}

}  // namespace brimvox::retrieve
