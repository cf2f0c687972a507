// The password codec: what provisioning writes, the facade reads back with
// the node's serial number, and nothing else does.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "RKPassword.h"

namespace {

constexpr char kSerial[] = "ABC-123-xyz";
constexpr size_t kOverhead = 16 + 12 + 16;  // salt, iv, tag

std::string encrypt(const std::string& clear, const std::string& key = kSerial) {
  RKPassword codec;
  std::string text;
  EXPECT_EQ(codec.encrypt(clear, key, text), 0);
  return text;
}

struct Decrypted {
  int result;
  unsigned long length;
  std::string buffer;  // the whole output buffer
};

Decrypted decrypt(const char* text, const char* key, unsigned long capacity = 1024) {
  std::vector<char> buffer(capacity + 1, 'Z');  // one guard byte past the capacity
  unsigned long length = capacity;
  RKPassword codec;
  const int result = codec.decrypt(text, buffer.data(), &length, key);
  EXPECT_EQ(buffer[capacity], 'Z') << "wrote past the buffer";
  return {result, length, std::string(buffer.data(), capacity)};
}

std::vector<unsigned char> from_base64(const std::string& text) {
  std::vector<unsigned char> out(text.size() / 4 * 3);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  EXPECT_GE(n, 0);
  size_t padding = 0;
  while (padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  out.resize(static_cast<size_t>(n) - padding);
  return out;
}

std::string to_base64(const std::vector<unsigned char>& bytes) {
  std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), bytes.data(),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

// The text form split into its header ("v1$20000$") and its decoded bytes.
struct Parts {
  std::string header;
  std::vector<unsigned char> blob;
};

Parts split(const std::string& text) {
  const size_t mark = text.find('$', 3);
  return {text.substr(0, mark + 1), from_base64(text.substr(mark + 1))};
}

}  // namespace

TEST(PasswordCodec, DecryptsWhatEncryptWroteWithTheSameSerial) {
  const std::string clear = "s3cr\"t {pass} w\xc3\xb6rd&#%+";
  const std::string text = encrypt(clear);
  const Decrypted out = decrypt(text.c_str(), kSerial);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.length, clear.size());
  EXPECT_EQ(std::string(out.buffer.c_str()), clear);
  EXPECT_EQ(out.buffer[clear.size()], '\0');
}

TEST(PasswordCodec, WritesVersionIterationsAndSaltIvCipherTextTagInBase64) {
  const std::string clear = "twelve bytes";
  const std::string text = encrypt(clear);
  const Parts parts = split(text);
  EXPECT_EQ(parts.header, "v1$20000$");
  EXPECT_EQ(parts.blob.size(), kOverhead + clear.size());
  EXPECT_EQ(text.find(clear), std::string::npos);
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(PasswordCodec, UsesAFreshSaltAndIvForEveryEncryption) {
  const Parts first = split(encrypt("same"));
  const Parts second = split(encrypt("same"));
  EXPECT_NE(std::vector<unsigned char>(first.blob.begin(), first.blob.begin() + 28),
            std::vector<unsigned char>(second.blob.begin(), second.blob.begin() + 28));
}

TEST(PasswordCodec, DerivesTheKeyFromTheLowerCasedSerial) {
  const std::string text = encrypt("pw", "SERIAL-AbC");
  EXPECT_EQ(decrypt(text.c_str(), "serial-abc").result, 0);
  EXPECT_EQ(decrypt(text.c_str(), "SERIAL-ABC").result, 0);
}

TEST(PasswordCodec, RefusesAWrongSerialAndLeavesNoClearText) {
  const std::string text = encrypt("hunter2");
  for (const char* key : {"ABC-123-xy", "ABC-123-xyz ", "other", "x"}) {
    const Decrypted out = decrypt(text.c_str(), key);
    EXPECT_NE(out.result, 0) << key;
    EXPECT_EQ(out.buffer[0], '\0') << key;
    EXPECT_EQ(out.buffer.find("hunter2"), std::string::npos) << key;
  }
}

TEST(PasswordCodec, RefusesTextWithAnyFlippedBit) {
  const std::string clear = "hunter2";
  const Parts parts = split(encrypt(clear));
  // A bit in the salt, the iv, each byte of the cipher text and the tag.
  std::vector<size_t> positions = {0, 15, 16, 27, parts.blob.size() - 16, parts.blob.size() - 1};
  for (size_t i = 0; i < clear.size(); ++i) positions.push_back(28 + i);
  for (size_t position : positions) {
    std::vector<unsigned char> tampered = parts.blob;
    tampered[position] ^= 0x01;
    const std::string text = parts.header + to_base64(tampered);
    const Decrypted out = decrypt(text.c_str(), kSerial);
    EXPECT_NE(out.result, 0) << "byte " << position;
    EXPECT_EQ(out.buffer.find(clear), std::string::npos) << "byte " << position;
  }
  // Another iteration count derives another key.
  EXPECT_NE(decrypt(("v1$20001$" + to_base64(parts.blob)).c_str(), kSerial).result, 0);
  // Cut short or lengthened.
  std::vector<unsigned char> shorter(parts.blob.begin(), parts.blob.end() - 1);
  EXPECT_NE(decrypt((parts.header + to_base64(shorter)).c_str(), kSerial).result, 0);
  std::vector<unsigned char> longer = parts.blob;
  longer.push_back(0);
  EXPECT_NE(decrypt((parts.header + to_base64(longer)).c_str(), kSerial).result, 0);
}

TEST(PasswordCodec, RefusesALengthTooSmallForTheClearTextAndItsNul) {
  const std::string clear = "exactly-16-bytes";
  const std::string text = encrypt(clear);
  const Decrypted tight = decrypt(text.c_str(), kSerial, clear.size());
  EXPECT_NE(tight.result, 0);
  EXPECT_EQ(tight.buffer[0], '\0');
  EXPECT_EQ(tight.buffer.find("exactly"), std::string::npos);

  const Decrypted fits = decrypt(text.c_str(), kSerial, clear.size() + 1);
  EXPECT_EQ(fits.result, 0);
  EXPECT_EQ(fits.length, clear.size());
  EXPECT_EQ(std::string(fits.buffer.c_str()), clear);

  // A zero-length buffer is never written.
  char untouched = 'Z';
  unsigned long length = 0;
  RKPassword codec;
  EXPECT_NE(codec.decrypt(text.c_str(), &untouched, &length, kSerial), 0);
  EXPECT_EQ(untouched, 'Z');
}

TEST(PasswordCodec, RoundTripsAnEmptyPassword) {
  const std::string text = encrypt("");
  const Decrypted out = decrypt(text.c_str(), kSerial, 1);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.length, 0u);
  EXPECT_EQ(out.buffer[0], '\0');
}

TEST(PasswordCodec, RefusesMalformedTextWithoutCrashing) {
  const std::string body = to_base64(split(encrypt("pw")).blob);
  const std::vector<std::string> texts = {
      "",
      "v1",
      "v1$",
      "v1$20000",
      "v1$20000$",
      "v2$20000$" + body,
      "V1$20000$" + body,
      "v1$$" + body,
      "v1$abc$" + body,
      "v1$-20000$" + body,
      "v1$020000$" + body,
      "v1$0$" + body,
      "v1$999$" + body,      // too few iterations
      "v1$1000001$" + body,  // more work than any stored password needs
      "v1$99999999999999999999$" + body,
      "v1$20000$" + body.substr(1),  // not a multiple of four
      "v1$20000$" + body + "====",
      "v1$20000$ " + body,
      "v1$20000$" + body + "\n",
      "v1$20000$" + std::string(body.size(), '*'),
      "v1$20000$AAAA",  // shorter than salt, iv and tag
      "v1$20000$" + std::string(200000, 'A'),
  };
  for (const std::string& text : texts) {
    const Decrypted out = decrypt(text.c_str(), kSerial);
    EXPECT_NE(out.result, 0) << text.substr(0, 80);
    EXPECT_EQ(out.buffer[0], '\0') << text.substr(0, 80);
  }
}

TEST(PasswordCodec, RefusesMissingArgumentsAndUnusableInput) {
  const std::string text = encrypt("pw");
  char buffer[16];
  unsigned long length = sizeof buffer;
  RKPassword codec;
  EXPECT_NE(codec.decrypt(nullptr, buffer, &length, kSerial), 0);
  EXPECT_NE(codec.decrypt(text.c_str(), buffer, &length, nullptr), 0);
  EXPECT_NE(codec.decrypt(text.c_str(), buffer, &length, ""), 0);
  EXPECT_NE(codec.decrypt(text.c_str(), nullptr, &length, kSerial), 0);
  EXPECT_NE(codec.decrypt(text.c_str(), buffer, nullptr, kSerial), 0);

  std::string out = "stale";
  EXPECT_NE(codec.encrypt("pw", "", out), 0);
  EXPECT_TRUE(out.empty());
  // A password is read back as a C string, so it cannot hold a NUL.
  EXPECT_NE(codec.encrypt(std::string("p\0w", 3), kSerial, out), 0);
  EXPECT_NE(codec.encrypt("pw", std::string("k\0y", 3), out), 0);
}
