// Password codec: AES-256-GCM with a PBKDF2-HMAC-SHA256 key. The text form
// and the limits are documented in RKPassword.h.
#include "RKPassword.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr char kPrefix[] = "v1$";
constexpr unsigned long kDefaultIterations = 20000;
constexpr unsigned long kMinIterations = 1000;
constexpr unsigned long kMaxIterations = 1000000;
constexpr size_t kSaltSize = 16;
constexpr size_t kIvSize = 12;
constexpr size_t kTagSize = 16;
constexpr size_t kKeySize = 32;
constexpr size_t kOverhead = kSaltSize + kIvSize + kTagSize;
constexpr size_t kMaxTextSize = 64 * 1024;  // bounds the work on any input

// A byte buffer that is wiped before its memory is released. Its size is
// fixed at construction, so no copy of its contents is left behind.
class SecretBuffer {
 public:
  explicit SecretBuffer(size_t size) : bytes_(size) {}
  ~SecretBuffer() { wipe(); }
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;

  unsigned char* data() { return bytes_.data(); }
  const unsigned char* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  void wipe() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  }

 private:
  std::vector<unsigned char> bytes_;
};

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

// PBKDF2-HMAC-SHA256 over the ASCII-lower-cased key text.
bool derive_key(const char* keyText, const unsigned char* salt, unsigned long iterations,
                SecretBuffer& key) {
  const size_t length = std::strlen(keyText);
  SecretBuffer lowered(length);
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(keyText[i]);
    lowered.data()[i] = (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
  }
  return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(lowered.data()), static_cast<int>(length),
                           salt, static_cast<int>(kSaltSize), static_cast<int>(iterations),
                           EVP_sha256(), static_cast<int>(key.size()), key.data()) == 1;
}

// Strict decimal without sign or leading zero, within the accepted range.
bool parse_iterations(const char* text, size_t length, unsigned long& iterations) {
  if (length == 0 || length > 7 || text[0] == '0') return false;
  unsigned long value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned long>(text[i] - '0');
  }
  if (value < kMinIterations || value > kMaxIterations) return false;
  iterations = value;
  return true;
}

// Standard base64 with padding, no line breaks; anything else is refused.
bool decode_base64(const char* text, size_t length, std::vector<unsigned char>& out) {
  if (length == 0 || length % 4 != 0) return false;
  size_t padding = 0;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    if (c == '=') {
      if (i < length - 2) return false;
      ++padding;
      continue;
    }
    if (padding != 0) return false;  // data after padding
    const bool valid = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '+' || c == '/';
    if (!valid) return false;
  }
  out.assign(length / 4 * 3, 0);
  const int decoded = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text),
                                      static_cast<int>(length));
  if (decoded < 0 || static_cast<size_t>(decoded) != out.size()) return false;
  out.resize(out.size() - padding);
  return true;
}

// The iterations and the decoded salt | iv | ciphertext | tag of a text
// form: "v1$" iterations "$" base64. False when `input` is not one.
bool parse_text_form(const char* input, unsigned long& iterations,
                     std::vector<unsigned char>& blob) {
  const size_t inputLength = strnlen(input, kMaxTextSize + 1);
  if (inputLength > kMaxTextSize) return false;
  const size_t prefixLength = sizeof kPrefix - 1;
  if (inputLength < prefixLength || std::memcmp(input, kPrefix, prefixLength) != 0) return false;
  const char* count = input + prefixLength;
  const char* separator =
      static_cast<const char*>(std::memchr(count, '$', inputLength - prefixLength));
  if (separator == nullptr) return false;
  if (!parse_iterations(count, static_cast<size_t>(separator - count), iterations)) return false;
  const char* encoded = separator + 1;
  if (!decode_base64(encoded, inputLength - static_cast<size_t>(encoded - input), blob)) {
    return false;
  }
  return blob.size() >= kOverhead;
}

// An AES-256-GCM context for encryption (`encrypt` 1) or decryption (0),
// keyed with derive_key(keyText, salt, iterations) and `iv`; null when a step
// fails. The derived key is wiped before this returns.
CipherContext keyed_context(int encrypt, const char* keyText, const unsigned char* salt,
                            unsigned long iterations, const unsigned char* iv) {
  SecretBuffer derived(kKeySize);
  if (!derive_key(keyText, salt, iterations, derived)) return nullptr;
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) return nullptr;
  const int ivLength = static_cast<int>(kIvSize);
  const bool keyed =
      EVP_CipherInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr, encrypt) ==
          1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, ivLength, nullptr) == 1 &&
      EVP_CipherInit_ex(context.get(), nullptr, nullptr, derived.data(), iv, encrypt) == 1;
  return keyed ? std::move(context) : nullptr;
}

}  // namespace

RKPassword::RKPassword() = default;

RKPassword::~RKPassword() = default;

int RKPassword::decrypt(const char* input, char* output, unsigned long* length, const char* key) {
  if (output == nullptr || length == nullptr) return -1;
  if (*length > 0) output[0] = '\0';
  if (input == nullptr || key == nullptr || *key == '\0') return -1;
  unsigned long iterations = 0;
  std::vector<unsigned char> blob;
  if (!parse_text_form(input, iterations, blob)) return -1;

  const unsigned char* salt = blob.data();
  const unsigned char* iv = salt + kSaltSize;
  const unsigned char* cipherText = iv + kIvSize;
  const size_t cipherLength = blob.size() - kOverhead;
  const unsigned char* tag = cipherText + cipherLength;
  // The clear text and its NUL must fit the caller's buffer.
  if (cipherLength + 1 > *length) return -1;

  CipherContext context = keyed_context(0, key, salt, iterations, iv);
  if (!context) return -1;
  SecretBuffer clear(cipherLength + 1);
  int written = 0;
  int finalWritten = 0;
  const bool authentic =
      EVP_DecryptUpdate(context.get(), clear.data(), &written, cipherText,
                        static_cast<int>(cipherLength)) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize),
                          const_cast<unsigned char*>(tag)) == 1 &&
      EVP_DecryptFinal_ex(context.get(), clear.data() + written, &finalWritten) == 1;
  if (!authentic || static_cast<size_t>(written + finalWritten) != cipherLength) return -1;
  // A password is a C string: an embedded NUL would silently shorten it.
  if (std::memchr(clear.data(), '\0', cipherLength) != nullptr) return -1;

  std::memcpy(output, clear.data(), cipherLength);
  output[cipherLength] = '\0';
  *length = cipherLength;
  return 0;
}

int RKPassword::encrypt(const std::string& clear, const std::string& key, std::string& output) {
  output.clear();
  if (key.empty() || key.find('\0') != std::string::npos) return -1;
  if (clear.find('\0') != std::string::npos) return -1;
  // The text form must stay within what decrypt reads.
  if (clear.size() > (kMaxTextSize - 32) / 4 * 3 - kOverhead) return -1;

  SecretBuffer blob(kOverhead + clear.size());
  unsigned char* salt = blob.data();
  unsigned char* iv = salt + kSaltSize;
  unsigned char* cipherText = iv + kIvSize;
  unsigned char* tag = cipherText + clear.size();
  if (RAND_bytes(salt, static_cast<int>(kSaltSize + kIvSize)) != 1) return -1;

  CipherContext context = keyed_context(1, key.c_str(), salt, kDefaultIterations, iv);
  if (!context) return -1;
  int written = 0;
  int finalWritten = 0;
  const bool sealed =
      EVP_EncryptUpdate(context.get(), cipherText, &written,
                        reinterpret_cast<const unsigned char*>(clear.data()),
                        static_cast<int>(clear.size())) == 1 &&
      EVP_EncryptFinal_ex(context.get(), cipherText + written, &finalWritten) == 1 &&
      static_cast<size_t>(written + finalWritten) == clear.size() &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag) ==
          1;
  if (!sealed) return -1;

  std::string encoded((blob.size() + 2) / 3 * 4 + 1, '\0');
  const int encodedLength = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]),
                                            blob.data(), static_cast<int>(blob.size()));
  encoded.resize(static_cast<size_t>(encodedLength));
  output = kPrefix + std::to_string(kDefaultIterations) + "$" + encoded;
  return 0;
}
