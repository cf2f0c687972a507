// Host password codec: the stored cluster password is kept encrypted with a
// key derived from the node's serial number.
//
// Cipher: AES-256-GCM (OpenSSL). Key: PBKDF2-HMAC-SHA256 over the key text
// lower-cased (ASCII), with a random 16-byte salt; encrypt uses 20,000
// iterations, decrypt accepts 1,000 to 1,000,000 (the count is part of the
// text, so the work any input can cause is bounded). Text form:
//   "v1$" + iterations (decimal, no leading zero) + "$" +
//   base64(salt(16) | iv(12) | ciphertext | tag(16))
// in standard base64 with padding and without line breaks; texts longer than
// 64 KiB are refused. Every buffer that held the key or the clear text is
// wiped (OPENSSL_cleanse) before it is released. Stateless: one object may be
// used for any number of calls, by one thread at a time.
#pragma once

#include <string>

#include "host_export.h"

class RK_HOST_API RKPassword {
 public:
  RKPassword();
  ~RKPassword();
  RKPassword(const RKPassword&) = delete;
  RKPassword& operator=(const RKPassword&) = delete;

  // Decrypts the text form `input` with `key` (the node's serial number)
  // into `output`, a buffer of *length bytes. Returns 0 only when the text is
  // well formed, its tag verifies and the clear text with its terminating
  // NUL fits; *length then holds the clear text's length. Any other outcome
  // (null argument, empty key, malformed text, wrong key, tampered text,
  // buffer too small, clear text holding a NUL) returns -1, leaves *length
  // as it was and, when *length is at least 1, an empty string in `output`:
  // the buffer never holds clear text after a failure.
  int decrypt(const char* input, char* output, unsigned long* length, const char* key);
  // Encrypts `clear` with `key` into the text form that decrypt reads, with a
  // fresh salt and iv (for provisioning). Returns 0 on success; -1 with
  // `output` empty for an empty key, a NUL in `clear` or `key`, a clear text
  // too long for the text form (over 49,084 bytes) or a failure of OpenSSL.
  int encrypt(const std::string& clear, const std::string& key, std::string& output);
};
