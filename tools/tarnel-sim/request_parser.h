// Parser of the cluster's request texts.
//
// A request text is "request=" followed by one object:
//
//   object  := '{' [ member { ',' member } ] '}'
//   member  := key ':' value          key := word | string
//   value   := object | list | string | word
//   list    := '[' [ value { ',' value } ] ']'
//   string  := '"' characters '"'     (JSON escapes: \" \\ \/ \b \f \n \r \t \uXXXX)
//   word    := one or more bytes other than white space, '"', ',', ':', '{', '}', '[', ']'
//
// For example: request={type:Login,category:UserManagement,params:{userName:"u",...}}.
// White space (space, tab, CR, LF) may stand between tokens. Words carry
// enumerated names, numbers, booleans and bare session identifiers; they are
// kept as written. Strings are decoded (a \u escape becomes UTF-8, surrogate
// pairs combined). Every string and word must be valid UTF-8; raw control
// characters are refused: below 0x20 inside strings (as in JSON, where DEL,
// 0x7f, needs no escape), and those and DEL inside words, as is a key that
// appears twice in one object. Objects and lists nest at most
// kMaxDepth deep.
//
// parse_request_text is a pure function: any input, however long or hostile,
// yields either a value or an error, never a crash, and its recursion is
// bounded by kMaxDepth.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel_sim {

// Deepest nesting of objects and lists that the parser accepts; the outermost
// object counts as depth 1.
constexpr std::size_t kMaxDepth = 32;

struct RequestMember;

// One parsed value. `begin` and `end` are offsets into the parsed text: the
// value's first byte and one past its last (quotes included for a string).
struct RequestValue {
  enum class Kind { Object, List, String, Word };

  Kind kind = Kind::Word;
  std::string text;                    // String: decoded contents; Word: as written
  std::vector<RequestMember> members;  // Object: members in the order written
  std::vector<RequestValue> items;     // List: items in the order written
  std::size_t begin = 0;
  std::size_t end = 0;

  bool is_object() const { return kind == Kind::Object; }
  bool is_list() const { return kind == Kind::List; }
  // True for a string or a word: a value that has a text.
  bool is_scalar() const { return kind == Kind::String || kind == Kind::Word; }
  // The member named `key` of an object, or null when there is none or this
  // value is not an object.
  const RequestValue* find(std::string_view key) const;
};

struct RequestMember {
  std::string key;
  RequestValue value;
};

struct ParseError {
  std::size_t offset = 0;  // where in the text the parser gave up
  std::string message;     // what it expected or found there
};

struct ParseResult {
  bool ok = false;
  RequestValue value;  // the object after "request=" when ok
  ParseError error;    // when not ok
};

// Parses a whole request text: "request=", one object, optional trailing
// white space, nothing else.
ParseResult parse_request_text(std::string_view text);

// `text` with the value of every member named "password", at any depth,
// replaced by "***" (in quotes). `parsed` must be the result of parsing
// `text`. When parsing failed, the text is cut after the first "password"
// (in any letter case) or at the first backslash, whichever comes first, and
// "***" appended, so that no part of a password can remain in the result.
std::string redact_passwords(std::string_view text, const ParseResult& parsed);

// `text` with every byte that is not part of a valid UTF-8 sequence replaced
// by U+FFFD, so that it can stand in JSON output.
std::string to_valid_utf8(std::string_view text);

}  // namespace tarnel_sim
