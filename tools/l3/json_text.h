#pragma once
// The commands write JSON with the library's string escaping (format/json_text.h).

#include "l3/json_text.h"

namespace l3tool {

using l3::appendFormat;
using l3::appendJsonString;
using l3::putJsonString;

}  // namespace l3tool
