// No C++ exception may leave a COM method, the class factory or a module export: the caller is
// C or script code that cannot catch it. Each boundary runs its body through comGuard, which
// turns std::bad_alloc into E_OUTOFMEMORY and any other exception into E_UNEXPECTED.
#pragma once

#include <new>

#include "com_types.h"

namespace brimvox::retrieve {

template <class Body>
HRESULT comGuard(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace brimvox::retrieve
