#pragma once

// clang 14 cannot use libstdc++ 12's std::expected (it needs newer concepts support). The
// headers the fuzz targets pull in only declare functions returning it, so declarations are
// enough; no such function is called or compiled here.
#include <version>

#if !defined(__cpp_lib_expected)
namespace std {
template <class T, class E> class expected;
template <class E> class unexpected;
} // namespace std
#endif
