// Owning handles for the layer's C resources. C++ only; applications never
// include this header.
#ifndef CGI_CGI_RAII_H
#define CGI_CGI_RAII_H

#include <memory>

#include "cgi_internal.h"

namespace cgi {

struct HeapDeleter {
    void operator()(void *p) const noexcept { cgiRelease(p); }
};

// A heap block from cgiAlloc, released unless release() hands it on.
template <typename T>
using HeapPtr = std::unique_ptr<T, HeapDeleter>;
using HeapString = HeapPtr<char>;

} // namespace cgi

#endif // CGI_CGI_RAII_H
