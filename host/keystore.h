// Internal to the host utility library (keystore.cpp and rkmx_utils.cpp):
// the status values of the key store calls and the small helpers that node
// identity shares with the key store. The contracts of the calls themselves
// are in platform/rkmx_utils.h.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnel_host {
namespace keystore {

// Status results of get_reg_key, set_reg_key and the identity calls.
constexpr int kFound = 0;
constexpr int kWritten = 0;  // set_reg_key's success
constexpr int kKeyMissing = 1;
constexpr int kStoreUnreadable = 2;
constexpr int kInvalidArgument = 3;
constexpr int kStoreBusy = 4;
constexpr int kWriteFailed = 5;
constexpr int kInternalError = -1;

constexpr const char* kLineBlanks = " \t";
constexpr const char* kAllWhitespace = " \t\r\n\v\f";

// The value of the environment variable `name`; null when unset or empty.
const char* env_or_null(const char* name);

// `text` without the characters of `blanks` at either end.
std::string_view trim(std::string_view text, const char* blanks);

// One setting for read_settings: its key (which must outlive it), and what
// get_reg_key gives for it (`result`; `value` holds the value when the
// result is kFound).
struct Setting {
  explicit Setting(std::string_view name) : key(name) {}
  std::string_view key;
  std::string value;
  int result = kKeyMissing;
};

// Reads `count` settings the way get_reg_key reads one (environment
// overrides included), from one stat() and at most one read of the store,
// for services that need several settings at once; at most 64. Never
// throws; out of memory gives kInternalError.
void read_settings(Setting* settings, size_t count);

}  // namespace keystore
}  // namespace tarnel_host
