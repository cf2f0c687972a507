// Helpers for the values that the session and the disk handle place into the
// cluster's request texts. A request text is keys, enumerated words and
// values written the way the cluster's request syntax reads them; a value
// must never be able to change that shape.
#pragma once

#include <string>

namespace tarnel_request {

// `value` written as the inside of a JSON string, for a place between two
// double quotes of a request text: '"' and '\' are preceded by a backslash,
// each control character below 0x20 is written as \u00xx, every other byte
// (UTF-8 included) stays as it is. The surrounding quotes are the caller's.
std::string quoted_value(const std::string& value);

// True when `value` can stand bare (without quotes) in a request text without
// changing the text's shape: it holds none of '"', '\', ',', ':', '{', '}',
// '[', ']', a space or a control character (below 0x20, and 0x7f). The empty
// text qualifies.
bool fits_bare(const std::string& value);

}  // namespace tarnel_request
