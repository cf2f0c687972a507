// JSON value model: a compatible subset of json_spirit's map-based values.
//
// A value is one of object, array, string, bool, signed 64-bit integer,
// double, null or unsigned 64-bit integer. An unsigned value reports
// int_type and is_uint64(). A typed accessor applied to a value of another
// type throws std::runtime_error("value type is <actual> not <expected>"),
// the numbers being Value_type codes; get_real() also accepts integers.
#pragma once

#include <boost/variant.hpp>
#include <cstdint>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace json_spirit {

enum Value_type { obj_type, array_type, str_type, bool_type, int_type, real_type, null_type };

struct Null {};
inline bool operator==(Null, Null) { return true; }

template <class Config>
class Value_impl;

template <class String>
struct Config_map {
  typedef String String_type;
  typedef Value_impl<Config_map> Value_type;
  typedef std::vector<Value_type> Array_type;
  typedef std::map<String_type, Value_type> Object_type;
  typedef std::pair<const String_type, Value_type> Pair_type;
};

template <class Config>
class Value_impl {
 public:
  typedef typename Config::String_type String_type;
  typedef typename Config::Object_type Object;
  typedef typename Config::Array_type Array;

  Value_impl() : v_(Null()) {}
  Value_impl(const Object& value) : v_(value) {}
  Value_impl(Object&& value) : v_(std::move(value)) {}
  Value_impl(const Array& value) : v_(value) {}
  Value_impl(Array&& value) : v_(std::move(value)) {}
  Value_impl(const String_type& value) : v_(value) {}
  Value_impl(String_type&& value) : v_(std::move(value)) {}
  Value_impl(const char* value) : v_(String_type(value)) {}
  Value_impl(bool value) : v_(value) {}
  Value_impl(int value) : v_(static_cast<int64_t>(value)) {}
  Value_impl(int64_t value) : v_(value) {}
  Value_impl(uint64_t value) : v_(value) {}
  Value_impl(double value) : v_(value) {}

  Value_type type() const {
    if (is_uint64()) return int_type;
    return static_cast<Value_type>(v_.which());
  }
  bool is_uint64() const { return v_.which() == kUint64Index; }
  bool is_null() const { return type() == null_type; }

  const Object& get_obj() const {
    check_type(obj_type);
    return boost::get<Object>(v_);
  }
  Object& get_obj() {
    check_type(obj_type);
    return boost::get<Object>(v_);
  }
  const Array& get_array() const {
    check_type(array_type);
    return boost::get<Array>(v_);
  }
  Array& get_array() {
    check_type(array_type);
    return boost::get<Array>(v_);
  }
  const String_type& get_str() const {
    check_type(str_type);
    return boost::get<String_type>(v_);
  }
  bool get_bool() const {
    check_type(bool_type);
    return boost::get<bool>(v_);
  }
  int get_int() const {
    check_type(int_type);
    return static_cast<int>(get_int64());
  }
  int64_t get_int64() const {
    check_type(int_type);
    if (is_uint64()) return static_cast<int64_t>(boost::get<uint64_t>(v_));
    return boost::get<int64_t>(v_);
  }
  uint64_t get_uint64() const {
    check_type(int_type);
    if (!is_uint64()) return static_cast<uint64_t>(boost::get<int64_t>(v_));
    return boost::get<uint64_t>(v_);
  }
  double get_real() const {
    if (type() == int_type) {
      return is_uint64() ? static_cast<double>(get_uint64()) : static_cast<double>(get_int64());
    }
    check_type(real_type);
    return boost::get<double>(v_);
  }

  bool operator==(const Value_impl& other) const { return v_ == other.v_; }
  bool operator!=(const Value_impl& other) const { return !(*this == other); }

 private:
  typedef boost::variant<boost::recursive_wrapper<Object>, boost::recursive_wrapper<Array>,
                         String_type, bool, int64_t, double, Null, uint64_t>
      Variant;
  static constexpr int kUint64Index = 7;

  void check_type(Value_type expected) const {
    const Value_type actual = type();
    if (actual != expected) {
      std::ostringstream os;
      os << "value type is " << actual << " not " << expected;
      throw std::runtime_error(os.str());
    }
  }

  Variant v_;
};

typedef Config_map<std::string> mConfig;
typedef mConfig::Value_type mValue;
typedef mConfig::Object_type mObject;
typedef mConfig::Array_type mArray;

}  // namespace json_spirit
