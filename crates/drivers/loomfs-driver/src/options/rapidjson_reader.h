// RapidJSON's SAX reader, configured for the parameter decoder: no assertion
// may stop the process, whatever the input. Include before any other RapidJSON
// header.
#pragma once

#ifdef RAPIDJSON_RAPIDJSON_H_
#error "rapidjson_reader.h must come before other RapidJSON headers"
#endif

#define RAPIDJSON_ASSERT(x) static_cast<void>(sizeof(x))
#include <rapidjson/reader.h>  // IWYU pragma: export
