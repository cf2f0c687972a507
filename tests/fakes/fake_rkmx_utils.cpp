// Fake utility library and sleep call: scripted identity and keys; sleeps are
// recorded, never slept.
#include <cstdlib>

#include "RkCancel.h"
#include "RkException.h"
#include "fake_host.h"
#include "fake_state.h"
#include "rkmx_utils.h"

namespace fake {

UtilsScript& utils_script() { return kept<UtilsScript>(); }

Status status(int code, const std::string& value) {
  Status scripted;
  scripted.status = code;
  scripted.value = value;
  return scripted;
}

std::vector<SleepCall>& sleeps() { return kept<std::vector<SleepCall>>(); }

std::vector<int> sleep_milliseconds() {
  std::vector<int> ms;
  for (const SleepCall& call : sleeps()) ms.push_back(call.milliseconds);
  return ms;
}

}  // namespace fake

namespace {
int play(const fake::Status& scripted, std::string& out, const char* what) {
  if (scripted.throwRk) throw RkException(what, "scripted failure", __FILE__, __LINE__, -1);
  out = scripted.value;
  return scripted.status;
}
}  // namespace

std::string rkmx_utils::get_hostname() {
  fake::journal().push_back("rkmx_utils::get_hostname()");
  if (fake::utils_script().hostnameThrowsRk) {
    throw RkException("get_hostname", "scripted failure", __FILE__, __LINE__, -1);
  }
  return fake::utils_script().hostname;
}

int rkmx_utils::get_reg_key(std::string key, std::string& value) {
  fake::journal().push_back("rkmx_utils::get_reg_key(" + key + ")");
  auto found = fake::utils_script().keys.find(key);
  if (found == fake::utils_script().keys.end()) return 1;
  return play(found->second, value, "get_reg_key");
}

unsigned int rkmx_utils::string_to_uint(std::string text) {
  fake::journal().push_back("rkmx_utils::string_to_uint(" + text + ")");
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return 0;
  return static_cast<unsigned int>(std::strtoul(text.c_str(), nullptr, 10));
}

int rkmx_utils::get_serial_number(std::string& serial) {
  fake::journal().push_back("rkmx_utils::get_serial_number()");
  return play(fake::utils_script().serial, serial, "get_serial_number");
}

int rkmx_utils::get_tarnel_cluster(std::string& name) {
  fake::journal().push_back("rkmx_utils::get_tarnel_cluster()");
  return play(fake::utils_script().cluster, name, "get_tarnel_cluster");
}

double rkmx_utils::convert_size_to_gb(double value, std::string unit) {
  fake::journal().push_back("rkmx_utils::convert_size_to_gb(" + std::to_string(value) + "," + unit +
                            ")");
  if (fake::utils_script().toGb) return fake::utils_script().toGb(value, unit);
  if (unit == "GB") return value;
  if (unit == "TB") return value * 1024;
  return 0;
}

int ZUSLEEP_InTeRnAl(int milliseconds, const char* file, int line) {
  fake::journal().push_back("ZUSLEEP_InTeRnAl(" + std::to_string(milliseconds) + ")");
  fake::sleeps().push_back({milliseconds, file ? file : "", line});
  return 0;
}

double rkmx_utils::get_sleep_scale() { return fake::utils_script().sleepScale; }

int ZUSLEEP_Cancellable(int milliseconds, const RkCancelToken* token, const char* file, int line) {
  fake::journal().push_back("ZUSLEEP_Cancellable(" + std::to_string(milliseconds) + ")");
  fake::sleeps().push_back({milliseconds, file ? file : "", line, true, token});
  if (token == nullptr) return 0;
  if (fake::sleeps().size() == fake::utils_script().cancelAtPause) fake::cancel(token);
  return token->cancelled() ? 1 : 0;
}
