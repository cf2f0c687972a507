#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "json_spirit/json_spirit_value.h"

using json_spirit::mArray;
using json_spirit::mObject;
using json_spirit::mValue;

namespace {

std::string type_error(const mValue& value, void (*access)(const mValue&)) {
  try {
    access(value);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no error";
}

}  // namespace

TEST(JsonValue, EachConstructorReportsItsType) {
  EXPECT_EQ(mValue(mObject()).type(), json_spirit::obj_type);
  EXPECT_EQ(mValue(mArray()).type(), json_spirit::array_type);
  EXPECT_EQ(mValue("text").type(), json_spirit::str_type);
  EXPECT_EQ(mValue(std::string("text")).type(), json_spirit::str_type);
  EXPECT_EQ(mValue(true).type(), json_spirit::bool_type);
  EXPECT_EQ(mValue(7).type(), json_spirit::int_type);
  EXPECT_EQ(mValue(int64_t(-7)).type(), json_spirit::int_type);
  EXPECT_EQ(mValue(uint64_t(7)).type(), json_spirit::int_type);
  EXPECT_EQ(mValue(1.5).type(), json_spirit::real_type);
  EXPECT_EQ(mValue().type(), json_spirit::null_type);
  EXPECT_TRUE(mValue().is_null());
  EXPECT_TRUE(mValue(uint64_t(7)).is_uint64());
  EXPECT_FALSE(mValue(int64_t(7)).is_uint64());
}

TEST(JsonValue, TypeCodesFollowTheModelsOrder) {
  EXPECT_EQ(json_spirit::obj_type, 0);
  EXPECT_EQ(json_spirit::array_type, 1);
  EXPECT_EQ(json_spirit::str_type, 2);
  EXPECT_EQ(json_spirit::bool_type, 3);
  EXPECT_EQ(json_spirit::int_type, 4);
  EXPECT_EQ(json_spirit::real_type, 5);
  EXPECT_EQ(json_spirit::null_type, 6);
}

TEST(JsonValue, AccessorsReturnTheHeldValue) {
  mObject object;
  object["k"] = mValue("v");
  EXPECT_EQ(mValue(object).get_obj().at("k").get_str(), "v");
  mArray array{mValue(1), mValue("two")};
  EXPECT_EQ(mValue(array).get_array().size(), 2u);
  EXPECT_EQ(mValue("abc").get_str(), "abc");
  EXPECT_FALSE(mValue(false).get_bool());
  EXPECT_EQ(mValue(-3).get_int(), -3);
  EXPECT_EQ(mValue(int64_t(-5000000000)).get_int64(), -5000000000);
  EXPECT_DOUBLE_EQ(mValue(2.25).get_real(), 2.25);
}

TEST(JsonValue, MutableAccessorsChangeTheValueInPlace) {
  mValue value{mObject()};
  value.get_obj()["added"] = mValue(1);
  EXPECT_EQ(value.get_obj().size(), 1u);
  mValue list{mArray()};
  list.get_array().push_back(mValue(true));
  EXPECT_TRUE(list.get_array()[0].get_bool());
}

TEST(JsonValue, GetRealConvertsIntegers) {
  EXPECT_DOUBLE_EQ(mValue(500).get_real(), 500.0);
  EXPECT_DOUBLE_EQ(mValue(int64_t(-42)).get_real(), -42.0);
  EXPECT_DOUBLE_EQ(mValue(std::numeric_limits<uint64_t>::max()).get_real(), 18446744073709551615.0);
}

TEST(JsonValue, Uint64ValuesConvertBetweenSignedAndUnsigned) {
  const uint64_t big = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(mValue(big).get_uint64(), big);
  EXPECT_EQ(mValue(big).get_int64(), -1);
  EXPECT_EQ(mValue(int64_t(12)).get_uint64(), 12u);
}

TEST(JsonValue, WrongAccessorThrowsWithBothTypeCodes) {
  EXPECT_EQ(type_error(mValue("s"), [](const mValue& v) { v.get_obj(); }), "value type is 2 not 0");
  EXPECT_EQ(type_error(mValue(1), [](const mValue& v) { v.get_str(); }), "value type is 4 not 2");
  EXPECT_EQ(type_error(mValue(uint64_t(1)), [](const mValue& v) { v.get_str(); }),
            "value type is 4 not 2");
  EXPECT_EQ(type_error(mValue(), [](const mValue& v) { v.get_array(); }), "value type is 6 not 1");
  EXPECT_EQ(type_error(mValue(1.0), [](const mValue& v) { v.get_int(); }), "value type is 5 not 4");
  EXPECT_EQ(type_error(mValue("1"), [](const mValue& v) { v.get_real(); }),
            "value type is 2 not 5");
  EXPECT_EQ(type_error(mValue(true), [](const mValue& v) { v.get_real(); }),
            "value type is 3 not 5");
  EXPECT_EQ(type_error(mValue(0), [](const mValue& v) { v.get_bool(); }), "value type is 4 not 3");
  EXPECT_EQ(type_error(mValue(mArray()), [](const mValue& v) { v.get_uint64(); }),
            "value type is 1 not 4");
}

TEST(JsonValue, CopiesAreIndependentAndCompareEqual) {
  mObject inner;
  inner["n"] = mValue(1);
  mValue original{inner};
  mValue copy = original;
  EXPECT_EQ(copy, original);
  copy.get_obj()["n"] = mValue(2);
  EXPECT_NE(copy, original);
  EXPECT_EQ(original.get_obj().at("n").get_int(), 1);
}

TEST(JsonValue, ComparisonDistinguishesTypesAndValues) {
  EXPECT_EQ(mValue(), mValue());
  EXPECT_NE(mValue(1), mValue(1.0));
  EXPECT_NE(mValue(1), mValue("1"));
  EXPECT_NE(mValue(int64_t(1)), mValue(uint64_t(1)));
  EXPECT_EQ(mValue(mArray{mValue("a")}), mValue(mArray{mValue("a")}));
}
