// Registration of the module: its registry script (resource "REGISTRY" 101) and its type
// library (resource "TYPELIB" 1).
#pragma once

#include <windows.h>

namespace brimvox::retrieve {

// Writes every entry of the script, %MODULE% being the module's full path; the first failing
// result, else S_OK.
HRESULT registerScript(HINSTANCE module);
// Removes the script's entries, keeping NoRemove keys.
HRESULT unregisterScript(HINSTANCE module);
// Registers the type library embedded in the module (or the .tlb file beside it).
HRESULT registerTypeLibrary(HINSTANCE module);
// Unregisters the type library through oleaut32's UnRegisterTypeLib.
HRESULT unregisterTypeLibrary();

}  // namespace brimvox::retrieve
