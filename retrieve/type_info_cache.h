// The type information of IUploadRetrieve, loaded once from the registered type library and
// kept for the life of the module.
#pragma once

#include "com_types.h"

namespace brimvox::retrieve {

// The type library's version, and the locale it is registered for.
constexpr WORD kTypeLibraryMajor = 1;
constexpr WORD kTypeLibraryMinor = 0;
constexpr LCID kTypeLibraryLocale = 0x409;

// S_OK with a new reference in *info, or the loading error.
HRESULT getUploadRetrieveTypeInfo(LCID lcid, ITypeInfo** info);
// Drops the cached type information (module unload).
void releaseUploadRetrieveTypeInfo();

}  // namespace brimvox::retrieve
