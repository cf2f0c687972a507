// The simulator's request-text parser and password redaction.
#include <gtest/gtest.h>

#include <string>

#include "request_parser.h"

using tarnel_sim::kMaxDepth;
using tarnel_sim::parse_request_text;
using tarnel_sim::ParseResult;
using tarnel_sim::redact_passwords;
using tarnel_sim::RequestValue;
using tarnel_sim::to_valid_utf8;
using Kind = tarnel_sim::RequestValue::Kind;

namespace {

const RequestValue& at(const RequestValue& value, const std::string& key) {
  const RequestValue* member = value.find(key);
  if (member == nullptr) throw std::runtime_error("no member " + key);
  return *member;
}

// The text of a string value after parsing `request={v:<literal>}`.
std::string decoded(const std::string& literal) {
  const ParseResult result = parse_request_text("request={v:" + literal + "}");
  EXPECT_TRUE(result.ok) << literal << ": " << result.error.message;
  return result.ok ? at(result.value, "v").text : std::string();
}

// `depth` objects inside each other: request={a:{a:...{a:b}...}}.
std::string nested_objects(std::size_t depth) {
  std::string text = "request=";
  for (std::size_t i = 0; i < depth; ++i) text += "{a:";
  text += "b";
  return text + std::string(depth, '}');
}

// The request object holding `depth` - 1 lists inside each other.
std::string nested_lists(std::size_t depth) {
  return "request={a:" + std::string(depth - 1, '[') + "b" + std::string(depth - 1, ']') + "}";
}

}  // namespace

TEST(SimParser, ReadsTheFourRequestsAsTheLibraryWritesThem) {
  const ParseResult login = parse_request_text(
      "request={type:Login,category:UserManagement,params:{userName:\"u\",password:\"p\",cluster:"
      "\"c\"}}");
  ASSERT_TRUE(login.ok) << login.error.message;
  EXPECT_EQ(at(login.value, "type").kind, Kind::Word);
  EXPECT_EQ(at(login.value, "type").text, "Login");
  EXPECT_EQ(at(login.value, "category").text, "UserManagement");
  const RequestValue& params = at(login.value, "params");
  ASSERT_TRUE(params.is_object());
  ASSERT_EQ(params.members.size(), 3u);
  EXPECT_EQ(params.members[0].key, "userName");
  EXPECT_EQ(params.members[1].key, "password");
  EXPECT_EQ(params.members[2].key, "cluster");
  EXPECT_EQ(at(params, "userName").kind, Kind::String);
  EXPECT_EQ(at(params, "cluster").text, "c");

  const ParseResult info = parse_request_text(
      "request={type:ClusterInformation,category:ClusterWatch,sessionId:\"S1\"}");
  ASSERT_TRUE(info.ok);
  EXPECT_EQ(at(info.value, "sessionId").kind, Kind::String);
  EXPECT_EQ(at(info.value, "sessionId").text, "S1");

  const ParseResult add = parse_request_text(
      "request={type:AddVirtualDisk,category:VirtualDiskManagement,params:{name:\"vd1\","
      "protectionPolicy:"
      "\"Erasure\",erasureConfig:\"RS_4_2\",backupType:\"FILER\",size:{unit:\"GB\",value:58.64},"
      "diskType:NFS,"
      "scsi3pr:false},sessionId:S1}");
  ASSERT_TRUE(add.ok) << add.error.message;
  const RequestValue& size = at(at(add.value, "params"), "size");
  EXPECT_EQ(at(size, "value").kind, Kind::Word);
  EXPECT_EQ(at(size, "value").text, "58.64");
  EXPECT_EQ(at(at(add.value, "params"), "diskType").text, "NFS");
  EXPECT_EQ(at(at(add.value, "params"), "scsi3pr").text, "false");
  EXPECT_EQ(at(add.value, "sessionId").kind, Kind::Word);
  EXPECT_EQ(at(add.value, "sessionId").text, "S1");

  const ParseResult mount = parse_request_text(
      "request={type:Mount,category:VirtualDiskManagement,params:{virtualDisk:\"vd1\",targets:["
      "\"node7\"]},"
      "sessionId:S1}");
  ASSERT_TRUE(mount.ok);
  const RequestValue& targets = at(at(mount.value, "params"), "targets");
  ASSERT_TRUE(targets.is_list());
  ASSERT_EQ(targets.items.size(), 1u);
  EXPECT_EQ(targets.items[0].text, "node7");
}

TEST(SimParser, DecodesJsonEscapesAndKeepsUtf8) {
  EXPECT_EQ(decoded(R"("a\"b")"), "a\"b");
  EXPECT_EQ(decoded(R"("back\\slash")"), "back\\slash");
  EXPECT_EQ(decoded(R"("\/\b\f\n\r\t")"), "/\b\f\n\r\t");
  EXPECT_EQ(decoded(R"("\u0041\u00e9\u20AC")"), "A\xc3\xa9\xe2\x82\xac");
  EXPECT_EQ(decoded(R"("\ud83d\ude00")"), "\xf0\x9f\x98\x80");
  EXPECT_EQ(decoded("\"caf\xc3\xa9 {x} & #1, [y]: z\""), "caf\xc3\xa9 {x} & #1, [y]: z");
  EXPECT_EQ(decoded(R"("")"), "");
  EXPECT_EQ(decoded("\"raw\x7f"
                    "DEL\""),
            "raw\x7f"
            "DEL");
}

TEST(SimParser, AcceptsWhiteSpaceEmptyContainersQuotedKeysAndNesting) {
  const ParseResult result = parse_request_text(
      "request= { \"type\" : Login ,\n\tlist : [ ] , obj : { } , deep : [ { a : [ \"x\" , y ] } ] "
      "} ");
  ASSERT_TRUE(result.ok) << result.error.message;
  EXPECT_EQ(at(result.value, "type").text, "Login");
  EXPECT_TRUE(at(result.value, "list").items.empty());
  EXPECT_TRUE(at(result.value, "obj").members.empty());
  const RequestValue& deep = at(result.value, "deep");
  ASSERT_EQ(deep.items.size(), 1u);
  const RequestValue& inner = at(deep.items[0], "a");
  ASSERT_EQ(inner.items.size(), 2u);
  EXPECT_EQ(inner.items[0].kind, Kind::String);
  EXPECT_EQ(inner.items[1].kind, Kind::Word);
}

TEST(SimParser, RecordsWhereEachValueStands) {
  const std::string text = R"(request={a:"x\"y",b:[w]})";
  const ParseResult result = parse_request_text(text);
  ASSERT_TRUE(result.ok);
  EXPECT_EQ(result.value.begin, 8u);
  EXPECT_EQ(result.value.end, text.size());
  const RequestValue& a = at(result.value, "a");
  EXPECT_EQ(text.substr(a.begin, a.end - a.begin), R"("x\"y")");
  const RequestValue& b = at(result.value, "b");
  EXPECT_EQ(text.substr(b.begin, b.end - b.begin), "[w]");
  EXPECT_EQ(text.substr(b.items[0].begin, b.items[0].end - b.items[0].begin), "w");
}

TEST(SimParser, RefusesMalformedTextsWithAnOffset) {
  struct Case {
    std::string text;
    std::size_t offset;
  };
  const Case cases[] = {
      {"", 0},
      {"{type:Login}", 0},                            // no "request="
      {"request=", 8},                                // nothing after it
      {"request=[a]", 8},                             // not an object
      {"request={type:Login", 19},                    // unclosed object
      {"request={type:\"Login}", 14},                 // unterminated string
      {"request={type Login}", 14},                   // no colon
      {"request={type:}", 14},                        // no value
      {"request={type:Login,}", 20},                  // trailing comma
      {"request={,}", 9},                             // no key
      {"request={a:[b,]}", 14},                       // trailing comma in a list
      {"request={a:[b}", 13},                         // unclosed list
      {"request={a:b}}", 13},                         // text after the object
      {"request={a:b} x", 14},                        // text after the object
      {"request={a:b,a:c}", 13},                      // duplicate key
      {"request={a:\"\\x\"}", 12},                    // unknown escape
      {"request={a:\"\\u12\"}", 12},                  // short \u
      {"request={a:\"\\ud800\"}", 12},                // high surrogate alone
      {"request={a:\"\\udc00\"}", 12},                // low surrogate alone
      {"request={a:\"\\ud800\\u0041\"}", 12},         // high surrogate with a non-surrogate
      {"request={a:\"tab\there\"}", 15},              // raw control character
      {"request={a:b\x01}", 12},                      // control character in a word
      {"request={a:b\x7f}", 12},                      // DEL in a word
      {"request={a:\"\xc3\"}", 12},                   // truncated UTF-8
      {"request={a:\"\xc0\xaf\"}", 12},               // overlong UTF-8
      {"request={a:\"\xed\xa0\x80\"}", 12},           // UTF-8 surrogate
      {"request={a:\xff}", 11},                       // invalid byte in a word
      {std::string("request={a:\"x\0y\"}", 17), 13},  // NUL byte
  };
  for (const Case& c : cases) {
    const ParseResult result = parse_request_text(c.text);
    EXPECT_FALSE(result.ok) << c.text;
    EXPECT_EQ(result.error.offset, c.offset) << c.text << ": " << result.error.message;
    EXPECT_FALSE(result.error.message.empty()) << c.text;
  }
}

TEST(SimParser, BoundsTheNesting) {
  EXPECT_TRUE(parse_request_text(nested_objects(kMaxDepth)).ok);
  EXPECT_TRUE(parse_request_text(nested_lists(kMaxDepth)).ok);

  const ParseResult objects = parse_request_text(nested_objects(kMaxDepth + 1));
  EXPECT_FALSE(objects.ok);
  EXPECT_NE(objects.error.message.find("nesting"), std::string::npos);
  EXPECT_FALSE(parse_request_text(nested_lists(kMaxDepth + 1)).ok);

  // Far deeper than any stack could take unbounded, closed or not.
  EXPECT_FALSE(parse_request_text(nested_objects(200000)).ok);
  EXPECT_FALSE(parse_request_text("request={a:" + std::string(200000, '[')).ok);
}

TEST(SimParser, RedactsEveryPasswordValue) {
  const std::string login = R"(request={type:Login,category:UserManagement,params:{)"
                            R"(userName:"u",password:"p\"w,x}",cluster:"c"}})";
  EXPECT_EQ(redact_passwords(login, parse_request_text(login)),
            R"(request={type:Login,category:UserManagement,params:{)"
            R"(userName:"u",password:"***",cluster:"c"}})");

  const std::string nested_text =
      R"(request={a:[{password:bare}],b:{password:{x:"y"}},"password":"q",c:d})";
  EXPECT_EQ(redact_passwords(nested_text, parse_request_text(nested_text)),
            R"(request={a:[{password:"***"}],b:{password:"***"},"password":"***",c:d})");

  const std::string escaped_key = R"(request={"pass\u0077ord":"hidden"})";
  EXPECT_EQ(redact_passwords(escaped_key, parse_request_text(escaped_key)),
            R"(request={"pass\u0077ord":"***"})");

  const std::string plain =
      "request={type:ClusterInformation,category:ClusterWatch,sessionId:\"S\"}";
  EXPECT_EQ(redact_passwords(plain, parse_request_text(plain)), plain);
}

TEST(SimParser, RedactsMalformedTextsFromTheirFirstPasswordOrBackslash) {
  const std::string broken = R"(request={params:{userName:"u",PassWord:"p"w",cluster:"c"}})";
  EXPECT_EQ(redact_passwords(broken, parse_request_text(broken)),
            R"(request={params:{userName:"u",PassWord***)");

  const std::string escaped_key = R"(request={"pass\u0077ord":"hidden",)";
  EXPECT_EQ(redact_passwords(escaped_key, parse_request_text(escaped_key)), R"(request={"pass***)");

  const std::string harmless = "request={type:Login";
  EXPECT_EQ(redact_passwords(harmless, parse_request_text(harmless)), harmless);
}

TEST(SimParser, ReplacesInvalidUtf8ForOutput) {
  EXPECT_EQ(to_valid_utf8("plain {text}"), "plain {text}");
  EXPECT_EQ(to_valid_utf8("caf\xc3\xa9 \xf0\x9f\x98\x80"), "caf\xc3\xa9 \xf0\x9f\x98\x80");
  EXPECT_EQ(to_valid_utf8("a\xff"
                          "b\xc0\xaf"
                          "c\xc3"),
            "a\xef\xbf\xbd"
            "b\xef\xbf\xbd\xef\xbf\xbd"
            "c\xef\xbf\xbd");
}
