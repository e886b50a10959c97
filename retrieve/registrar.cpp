#include "registrar.h"

#include <oleauto.h>

#include <new>
#include <string>
#include <vector>

#include "iupload_retrieve.h"
#include "registry_script.h"

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
    std::string path = modulePath<std::string>(module, GetModuleFileNameA);
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    substituteVariable(roots, "MODULE", path);
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

HRESULT setString(HKEY key, const char* name, const std::string& data) {
    return fromWin32(RegSetValueExA(key, name, 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(data.c_str()),
                                    static_cast<DWORD>(data.size() + 1)));
}

HRESULT writeEntry(HKEY parent, const RegistryEntry& entry) {
    if (entry.isValue) return setString(parent, entry.name.c_str(), entry.data);
    if (entry.forceRemove) RegDeleteTreeA(parent, entry.name.c_str());
    HKEY key = nullptr;
    HRESULT hr = fromWin32(RegCreateKeyExA(parent, entry.name.c_str(), 0, nullptr, 0,
                                           KEY_READ | KEY_WRITE, nullptr, &key, nullptr));
    if (FAILED(hr)) return hr;
    if (entry.hasData) hr = setString(key, nullptr, entry.data);
    for (const RegistryEntry& child : entry.children) {
        if (FAILED(hr)) break;
        hr = writeEntry(key, child);
    }
    RegCloseKey(key);
    return hr;
}

void removeEntry(HKEY parent, const RegistryEntry& entry) {
    if (entry.isValue) {
        RegDeleteValueA(parent, entry.name.c_str());
        return;
    }
    if (!entry.noRemove) {
        RegDeleteTreeA(parent, entry.name.c_str());
        RegDeleteKeyA(parent, entry.name.c_str());
        return;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, entry.name.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) {
        return;
    }
    for (const RegistryEntry& child : entry.children) removeEntry(key, child);
    RegCloseKey(key);
}

SYSKIND systemKind() {
    return sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
}

}  // namespace

HRESULT registerScript(HINSTANCE module) {
    try {
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
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT unregisterScript(HINSTANCE module) {
    try {
        std::vector<RegistryRoot> roots;
        HRESULT hr = loadScript(module, roots);
        if (FAILED(hr)) return hr;
        for (const RegistryRoot& root : roots) {
            HKEY key;
            if (!rootKey(root.name, key)) continue;
            for (const RegistryEntry& entry : root.entries) removeEntry(key, entry);
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT registerTypeLibrary(HINSTANCE module) {
    try {
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
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT unregisterTypeLibrary() {
    typedef HRESULT(WINAPI * UnRegisterTypeLibFn)(REFGUID, WORD, WORD, LCID, SYSKIND);
    HMODULE oleaut = LoadLibraryA("oleaut32.dll");
    if (oleaut == nullptr) return S_OK;
    auto unregister = reinterpret_cast<UnRegisterTypeLibFn>(
        reinterpret_cast<void*>(GetProcAddress(oleaut, "UnRegisterTypeLib")));
    if (unregister != nullptr) unregister(LIBID_RETRIEVELib, 1, 0, 0x409, systemKind());
    FreeLibrary(oleaut);
    return S_OK;
}
