// RapidJSON's DOM, for reading scan reports back (the tool, the tests and
// the fuzzers; the library itself only writes). Its document.h uses
// std::iterator, which C++17 deprecates; the warning is silenced for it alone.
#pragma once

#ifdef __GNUC__
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
#include <rapidjson/document.h>
#ifdef __GNUC__
#pragma GCC diagnostic pop
#endif
