// Host password codec: the stored cluster password is kept encrypted with a
// key derived from the node's serial number.
#pragma once

#include <string>

#include "host_export.h"

class RK_HOST_API RKPassword {
 public:
  RKPassword();
  ~RKPassword();
  RKPassword(const RKPassword&) = delete;
  RKPassword& operator=(const RKPassword&) = delete;

  // Decrypts the text form `input` with `key` into `output`, a buffer of
  // *length bytes. Returns 0 only when the text is authentic and the clear
  // text with its terminating NUL fits; *length then holds the clear text's
  // length. On failure the buffer holds no clear text.
  int decrypt(const char* input, char* output, unsigned long* length, const char* key);
  // Encrypts `clear` with `key` into the text form that decrypt reads.
  // Returns 0 on success.
  int encrypt(const std::string& clear, const std::string& key, std::string& output);
};
