// Helpers for the values that the session and the disk handle place into the
// cluster's request texts. A request text is keys, enumerated words and
// values written the way the cluster's request syntax reads them; a value
// must never be able to change that shape.
#pragma once

#include <cstddef>
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

// `text` with every occurrence of `secret` replaced by "***", in each form a
// server could echo it back from a request text: the clear text; the form a
// request carries it in (quoted_value); that form escaped once more (an error
// message quoting the request); and the HTTP client's percent-encoding of
// either (RFC 3986 unreserved characters kept, every other byte as %XX) with
// upper- or lower-case hex digits. Longer forms are replaced first. A secret
// shorter than 4 bytes is not looked for (it would blank out ordinary text):
// `text` then comes back as it was, without being scanned or copied.
std::string without_secret(std::string text, const std::string& secret);

// `text` fit to be shown: without `secret` (as without_secret), every
// control character (below 0x20, and 0x7f) written as \n, \r, \t or \xHH,
// and cut to at most `limit` bytes (then ending in "...").
std::string printable(const std::string& text, const std::string& secret, size_t limit);

}  // namespace tarnel_request
