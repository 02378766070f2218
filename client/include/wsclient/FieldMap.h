#pragma once

#include <map>
#include <string>

// Form fields of one request: name to value, one value per name. std::less<std::string>
// compares bytes as unsigned chars, so parts always go out in byte-wise ascending name order.
using FieldMap = std::map<std::string, std::string>;
