// The JSON codec against texts the cluster sends and objects the library
// serialises.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "RkJson.h"
#include "host_test_support.h"

namespace {

using json_spirit::mArray;
using json_spirit::mObject;
using json_spirit::mValue;

std::string serialize(const mObject& object) {
  std::string out = "left over";
  RkJson::Serialize(object, out);
  return out;
}

mObject parse(const std::string& text) {
  mObject out;
  EXPECT_TRUE(RkJson::Unserialize(text, out)) << text;
  return out;
}

bool accepts(const std::string& text) {
  mObject out;
  return RkJson::Unserialize(text, out);
}

// `depth` containers nested inside each other, the outermost an object.
std::string nested(size_t depth, char open, char close) {
  std::string text = "{\"a\":";
  for (size_t i = 1; i < depth; ++i) text += open;
  for (size_t i = 1; i < depth; ++i) text += close;
  return text + "}";
}

std::string nested_objects(size_t depth) {
  std::string text;
  for (size_t i = 1; i < depth; ++i) text += "{\"a\":";
  text += "{}";
  for (size_t i = 1; i < depth; ++i) text += "}";
  return text;
}

}  // namespace

TEST(JsonSerialize, SpellsTheDiskSuccessRecordsExactlyAsTheLibrarySearchesThem) {
  mObject created;
  created["status"] = "ok";  // inserted first, written last: map order
  created["name"] = "x";
  EXPECT_EQ(serialize(created), "{\"name\":\"x\",\"status\":\"ok\"}");

  mObject mounted;
  mounted["target"] = "h";
  mounted["status"] = "ok";
  EXPECT_EQ(serialize(mounted), "{\"status\":\"ok\",\"target\":\"h\"}");
}

TEST(JsonSerialize, IsCompactWithMembersInByteOrderAtEveryLevel) {
  mObject inner;
  inner["b"] = 1;
  inner["B"] = 2;
  inner["a"] = mArray{mValue(true), mValue(false), mValue(), mValue(mObject())};
  mObject outer;
  outer["result"] = inner;
  outer["empty"] = mArray();
  EXPECT_EQ(serialize(outer),
            "{\"empty\":[],\"result\":{\"B\":2,\"a\":[true,false,null,{}],\"b\":1}}");
  EXPECT_EQ(serialize(mObject()), "{}");
}

TEST(JsonSerialize, EscapesWhatJsonRequiresAndWritesEverythingElseUnchanged) {
  mObject object;
  object["text"] = std::string("q\"b\\s/\b\f\n\r\t\x01\x1f\x7f", 14);
  object["key \"quoted\""] = "v";
  EXPECT_EQ(serialize(object),
            "{\"key \\\"quoted\\\"\":\"v\","
            "\"text\":\"q\\\"b\\\\s/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\"}");
  object.clear();
  object["nul"] = std::string("a\0b", 3);
  EXPECT_EQ(serialize(object), "{\"nul\":\"a\\u0000b\"}");
}

TEST(JsonSerialize, PassesNonAsciiBytesThrough) {
  const std::string text = "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x99\x82 \xff";
  mObject object;
  object[text] = text;
  EXPECT_EQ(serialize(object), "{\"" + text + "\":\"" + text + "\"}");
}

TEST(JsonSerialize, WritesNumbersThatReadBackAsTheSameTypeAndValue) {
  mObject object;
  object["i"] = static_cast<int64_t>(-42);
  object["min"] = std::numeric_limits<int64_t>::min();
  object["u"] = std::numeric_limits<uint64_t>::max();
  object["r"] = 100.0;
  object["tenth"] = 0.1;
  object["big"] = 1e300;
  object["neg0"] = -0.0;
  const std::string text = serialize(object);
  EXPECT_EQ(text,
            "{\"big\":1e+300,\"i\":-42,\"min\":-9223372036854775808,\"neg0\":-0.0,\"r\":100.0,"
            "\"tenth\":0.1,\"u\":18446744073709551615}");
  const mObject back = parse(text);
  EXPECT_EQ(back, object);
  EXPECT_EQ(back.at("r").type(), json_spirit::real_type);
  EXPECT_TRUE(back.at("u").is_uint64());
}

TEST(JsonSerialize, WritesNoNumberForInfinityOrNan) {
  mObject object;
  object["inf"] = std::numeric_limits<double>::infinity();
  object["nan"] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(serialize(object), "{\"inf\":null,\"nan\":null}");
}

TEST(JsonSerialize, IgnoresTheProcessLocale) {
  // A host may run with a locale whose decimal separator is a comma.
  const host_test::TempDir directory;
  const std::string build =
      "localedef -i de_DE -f UTF-8 " + directory.file("de_DE.UTF-8") + " >/dev/null 2>&1";
  const bool built = std::system(build.c_str()) == 0;
  std::string text;
  if (built) {
    setenv("LOCPATH", directory.path().c_str(), 1);
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) {
      mObject object;
      object["r"] = 1.5;
      RkJson::Serialize(object, text);
      std::setlocale(LC_NUMERIC, previous.c_str());
    }
    unsetenv("LOCPATH");
  }
  if (text.empty()) GTEST_SKIP() << "no decimal-comma locale could be built here";
  EXPECT_EQ(text, "{\"r\":1.5}");
}

TEST(JsonUnserialize, ReadsEveryValueTypeIntoTheObjectModel) {
  const mObject object = parse(
      " {\"result\": {\"capacity\": {\"total\": {\"units\": \"TB\", \"value\": 12.5}}},\n"
      "  \"list\": [1, \"two\", true, false, null, {\"x\": []}], \"id\": 7} ");
  const mValue& total = object.at("result").get_obj().at("capacity").get_obj().at("total");
  EXPECT_EQ(total.get_obj().at("units").get_str(), "TB");
  EXPECT_DOUBLE_EQ(total.get_obj().at("value").get_real(), 12.5);
  const mArray& list = object.at("list").get_array();
  ASSERT_EQ(list.size(), 6u);
  EXPECT_EQ(list[0].get_int64(), 1);
  EXPECT_EQ(list[1].get_str(), "two");
  EXPECT_TRUE(list[2].get_bool());
  EXPECT_FALSE(list[3].get_bool());
  EXPECT_TRUE(list[4].is_null());
  EXPECT_TRUE(list[5].get_obj().at("x").get_array().empty());
  EXPECT_EQ(object.at("id").get_int(), 7);
}

TEST(JsonUnserialize, RoundTripsThroughSerializeUnchanged) {
  const std::string canonical =
      "{\"a\":[1,-2,3.25,\"s\",[],{},null,true],\"b\":{\"c\":{\"d\":\"caf\xc3\xa9\"}},"
      "\"e\":\"line\\nbreak \\\"q\\\" \\\\\",\"f\":18446744073709551615}";
  EXPECT_EQ(serialize(parse(canonical)), canonical);
}

TEST(JsonUnserialize, DecodesEscapesAndPassesRawNonAsciiThrough) {
  const mObject object = parse(
      "{\"esc\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\\u00e9\\ud83d\\ude42\\u0000.\","
      "\"raw\":\"\xe6\x97\xa5\xe6\x9c\xac\"}");
  EXPECT_EQ(object.at("esc").get_str(),
            std::string("\"\\/\b\f\n\r\tA\xc3\xa9\xf0\x9f\x99\x82\0.", 17));
  EXPECT_EQ(object.at("raw").get_str(), "\xe6\x97\xa5\xe6\x9c\xac");
}

TEST(JsonUnserialize, MapsIntegersToInt64ThenUint64ThenDouble) {
  const mObject object = parse(
      "{\"maxInt\":9223372036854775807,\"minInt\":-9223372036854775808,"
      "\"aboveInt\":9223372036854775808,\"maxUint\":18446744073709551615,"
      "\"aboveUint\":18446744073709551616,\"belowInt\":-9223372036854775809,"
      "\"small\":5,\"real\":1.5,\"exp\":1e2}");
  EXPECT_FALSE(object.at("maxInt").is_uint64());
  EXPECT_EQ(object.at("maxInt").get_int64(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(object.at("minInt").get_int64(), std::numeric_limits<int64_t>::min());
  EXPECT_TRUE(object.at("aboveInt").is_uint64());
  EXPECT_EQ(object.at("aboveInt").get_uint64(), 9223372036854775808ull);
  EXPECT_EQ(object.at("maxUint").get_uint64(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(object.at("aboveUint").type(), json_spirit::real_type);
  EXPECT_DOUBLE_EQ(object.at("aboveUint").get_real(), 18446744073709551616.0);
  EXPECT_EQ(object.at("belowInt").type(), json_spirit::real_type);
  EXPECT_EQ(object.at("small").type(), json_spirit::int_type);
  EXPECT_FALSE(object.at("small").is_uint64());
  EXPECT_EQ(object.at("real").type(), json_spirit::real_type);
  EXPECT_EQ(object.at("exp").type(), json_spirit::real_type);
  EXPECT_DOUBLE_EQ(object.at("exp").get_real(), 100.0);
}

TEST(JsonUnserialize, KeepsTheLastValueOfARepeatedKey) {
  EXPECT_EQ(parse("{\"k\":1,\"k\":\"two\"}").at("k").get_str(), "two");
  const mObject containers = parse("{\"k\":{\"old\":[1]},\"k\":[{\"new\":[2]}],\"o\":[],\"o\":{}}");
  EXPECT_EQ(serialize(containers), "{\"k\":[{\"new\":[2]}],\"o\":{}}");
}

TEST(JsonUnserialize, BuildsLongListsOfNestedContainersInOrder) {
  // Long enough for each list to grow its storage many times while its
  // elements hold objects and lists of their own.
  std::string canonical = "{\"disks\":[";
  for (int i = 0; i < 1500; ++i) {
    const std::string n = std::to_string(i);
    canonical += (i == 0 ? "" : ",") + std::string("{\"id\":") + n + ",\"parts\":[[" + n +
                 "],{\"name\":\"disk-" + n + "\"},\"tail\"]}";
  }
  canonical += "],\"z\":[[[],[{}]]]}";
  const mObject object = parse(canonical);
  const mArray& disks = object.at("disks").get_array();
  ASSERT_EQ(disks.size(), 1500u);
  EXPECT_EQ(disks[1234].get_obj().at("parts").get_array()[1].get_obj().at("name").get_str(),
            "disk-1234");
  EXPECT_EQ(serialize(object), canonical);
}

TEST(JsonUnserialize, AcceptsNestingUpTo512AndRejectsDeeper) {
  EXPECT_TRUE(accepts(nested(512, '[', ']')));
  EXPECT_FALSE(accepts(nested(513, '[', ']')));
  EXPECT_TRUE(accepts(nested_objects(512)));
  EXPECT_FALSE(accepts(nested_objects(513)));
}

TEST(JsonUnserialize, RejectsHugeNestingWithoutExhaustingTheStack) {
  EXPECT_FALSE(accepts(nested(100000, '[', ']')));
  EXPECT_FALSE(accepts(nested_objects(100000)));
  EXPECT_FALSE(accepts(std::string(100000, '[') + std::string(100000, ']')));
  // Unclosed, as a truncated reply would be.
  EXPECT_FALSE(accepts("{\"a\":" + std::string(100000, '[')));
}

TEST(JsonUnserialize, RejectsEveryTopLevelThatIsNotAnObject) {
  for (const char* text : {"", "   ", "[]", "[{}]", "\"s\"", "1", "-1.5", "true", "false", "null",
                           "plain words", "{'a':1}", "{a:1}"}) {
    EXPECT_FALSE(accepts(text)) << text;
  }
}

TEST(JsonUnserialize, RejectsTextAfterTheObjectButAllowsWhiteSpace) {
  EXPECT_TRUE(accepts("{} \t\r\n"));
  for (const char* text : {"{} x", "{}{}", "{},", "{}]", "{\"a\":1}}", "{} // note"}) {
    EXPECT_FALSE(accepts(text)) << text;
  }
  EXPECT_FALSE(accepts(std::string("{}\0{}", 5)));
  EXPECT_FALSE(accepts(std::string("{\"a\":\"b\0c\"}", 11)));
}

TEST(JsonUnserialize, RejectsEveryTruncationOfAValidReply) {
  const std::string reply =
      "{\"result\":{\"sessionId\":\"abc\",\"list\":[1,2.5,true,null,\"x\"]},\"n\":-12}";
  ASSERT_TRUE(accepts(reply));
  for (size_t length = 0; length < reply.size(); ++length) {
    EXPECT_FALSE(accepts(reply.substr(0, length))) << reply.substr(0, length);
  }
}

TEST(JsonUnserialize, LeavesTheObjectEmptyAfterARejectionAndReplacesItsMembersOtherwise) {
  mObject out;
  out["stale"] = 1;
  EXPECT_FALSE(RkJson::Unserialize("{\"a\":", out));
  EXPECT_TRUE(out.empty());
  out["stale"] = 1;
  ASSERT_TRUE(RkJson::Unserialize("{\"a\":2}", out));
  EXPECT_EQ(out, (mObject{{"a", mValue(2)}}));
}

// Found by the json_roundtrip fuzz target: these read as infinity or NaN,
// which Serialize can only write as null.
TEST(JsonUnserialize, RejectsNumbersThatRoundBeyondTheDoubleRange) {
  for (const char* text :
       {"{\"a\":1.7976936813432157e308}", "{\"a\":-1.7976931348623159e308}",
        "{\"a\":[179769313486231590772930519078902473361797697894230657273430081157"
        "732675805500963132708477322407536021120113879871393357658789768814416622492847"
        "430639474124377767893424865485276302219601246094119453082952085005768838150682"
        "342462881473913110540827237163350510684586298239947245938479716304835356329624"
        "224137216]}"}) {
    EXPECT_FALSE(accepts(text)) << text;
  }
  EXPECT_TRUE(accepts("{\"a\":1.7976931348623157e308,\"b\":-1.7976931348623157e308}"));
}

// Found by the json_roundtrip fuzz target: RapidJSON 1.1.0's own conversion
// read a zero with an exponent as an arbitrary number.
TEST(JsonUnserialize, ReadsZeroWithAnExponentAndUnderflowAsZero) {
  const mObject out = parse("{\"a\":0e5,\"b\":0e-324,\"c\":-0.0e100,\"d\":1e-400,\"e\":4.9e-324}");
  for (const char* key : {"a", "b", "d"}) {
    EXPECT_EQ(out.at(key).type(), json_spirit::real_type) << key;
    EXPECT_EQ(out.at(key).get_real(), 0.0) << key;
  }
  EXPECT_EQ(out.at("c").get_real(), 0.0);
  EXPECT_TRUE(std::signbit(out.at("c").get_real()));
  EXPECT_EQ(out.at("e").get_real(), std::numeric_limits<double>::denorm_min());
}

TEST(JsonUnserialize, RejectsMalformedNumbersStringsAndLiterals) {
  for (const char* text : {"{\"a\":01}", "{\"a\":1.}", "{\"a\":+1}", "{\"a\":NaN}", "{\"a\":1e400}",
                           "{\"a\":\"\\x\"}", "{\"a\":\"\\ud800\"}", "{\"a\":\"tab\there\"}",
                           "{\"a\":tru}", "{\"a\" 1}", "{\"a\":1,}", "{,}"}) {
    EXPECT_FALSE(accepts(text)) << text;
  }
}
