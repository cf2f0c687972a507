// Fake password codec: copies the scripted bytes into the caller's buffer.
#include <cstring>

#include "RKPassword.h"
#include "RkException.h"
#include "fake_host.h"
#include "fake_state.h"

namespace fake {

DecryptResult& decrypt_script() { return kept<DecryptResult>(); }

std::vector<DecryptCall>& decrypt_calls() { return kept<std::vector<DecryptCall>>(); }

}  // namespace fake

RKPassword::RKPassword() { fake::journal().push_back("RKPassword::RKPassword()"); }

RKPassword::~RKPassword() { fake::journal().push_back("RKPassword::~RKPassword()"); }

int RKPassword::decrypt(const char* input, char* output, unsigned long* length, const char* key) {
  fake::journal().push_back("RKPassword::decrypt()");
  bool zeroed = true;
  for (unsigned long i = 0; i < *length; ++i) zeroed = zeroed && output[i] == 0;
  fake::decrypt_calls().push_back({input ? input : "", *length, zeroed, key ? key : ""});
  const fake::DecryptResult& scripted = fake::decrypt_script();
  if (scripted.throwRk) throw RkException("decrypt", "scripted failure", __FILE__, __LINE__, -1);
  std::memcpy(output, scripted.bytes.data(), std::min<size_t>(scripted.bytes.size(), *length));
  return scripted.result;
}
