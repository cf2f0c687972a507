#include "output.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <sstream>

#include "exit_codes.h"

namespace tarnelctl {
namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void put(JsonWriter& w, const char* key, const std::string& value) {
  const std::string text = valid_utf8(value);
  w.Key(key);
  w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// `text` as a finite number in the C locale's form ("58.64"), all of it.
bool number_of(const std::string& text, double& number) {
  if (text.empty()) return false;
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  in >> number;
  return in && in.peek() == std::char_traits<char>::eof() && std::isfinite(number);
}

// One line on stderr, escaped. Nothing is left to do when stderr fails.
void to_stderr(const std::string& line) {
  const std::string text = for_people(line) + '\n';
  std::fwrite(text.data(), 1, text.size(), stderr);
}

// The length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t utf8_sequence(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  // A sequence's length shows in its lead byte; a code point below `least`
  // would fit a shorter one (an overlong form).
  std::size_t length = 0;
  std::uint32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    least = 0x10000;
  } else {
    return 0;
  }
  std::uint32_t code = lead & (0x7Fu >> length);
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (byte(at + i) & 0x3Fu);
  }
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  return code >= least && code <= 0x10FFFF && !surrogate ? length : 0;
}

}  // namespace

std::string for_people(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  const auto escape = [&](unsigned char c) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
  };
  for (std::size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x80) {
      // A C1 control (U+0080-U+009F) is escaped byte for byte, and so is a
      // stray byte 0x80-0x9F that a terminal could take for one; any other
      // sequence is kept whole, valid or not.
      const std::size_t length = utf8_sequence(text, at);
      const auto second = length == 2 ? static_cast<unsigned char>(text[at + 1]) : 0;
      if (length == 2 && c == 0xC2 && second <= 0x9F) {
        escape(c);
        escape(second);
      } else if (length == 0 && c <= 0x9F) {
        escape(c);
      } else {
        out.append(text, at, std::max<std::size_t>(length, 1));
      }
      at += std::max<std::size_t>(length, 1);
      continue;
    }
    if ((c >= 0x20 && c != 0x7F) || c == '\t') {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      escape(c);
    }
    ++at;
  }
  return out;
}

std::string valid_utf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    if (static_cast<unsigned char>(text[at]) < 0x80) {
      out += text[at++];
    } else if (const std::size_t length = utf8_sequence(text, at); length != 0) {
      out.append(text, at, length);
      at += length;
    } else {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++at;
    }
  }
  return out;
}

int print_stdout(const std::string& text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0) {
    return 0;
  }
  return errno != 0 ? errno : EIO;
}

int close_stdout(const std::string& who, int exit_code, int write_error) {
  errno = 0;
  if ((std::fflush(stdout) != 0 || std::ferror(stdout) != 0) && write_error == 0) {
    write_error = errno != 0 ? errno : EIO;
  }
  errno = 0;
  if (std::fclose(stdout) != 0 && write_error == 0) write_error = errno != 0 ? errno : EIO;
  if (write_error == 0) return exit_code;
  to_stderr(who + ": cannot write to standard output: " + std::strerror(write_error));
  return exit_code == kExitDone ? kExitFailed : exit_code;
}

std::string plain_number(double value) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  if (value < 1e15 && value > -1e15 && value == std::trunc(value)) {
    out << static_cast<long long>(value);
  } else {
    out << std::setprecision(15) << value;
  }
  return out.str();
}

Output::Output(bool json, bool quiet, std::string command)
    : json_(json), quiet_(quiet), command_(std::move(command)) {}

void Output::record(const tarnel_outcome& outcome, bool with_size) {
  outcome_ = outcome;
  with_size_ = with_size;
}

void Output::progress(const std::string& line) const {
  if (!json_ && !quiet_) to_stderr(line);
}

void Output::print(const std::string& text) const {
  const int error = print_stdout(text);
  if (write_error_ == 0) write_error_ = error;
}

// Every line for people on stdout goes through here, escaped.
void Output::print_line(const std::string& line) const { print(for_people(line) + '\n'); }

void Output::complain(const std::string& line) const {
  to_stderr("tarnelctl " + command_ + ": " + line);
}

// Writes {"command": ..., "ok": ..., <members>} and a line end to stdout.
template <typename Members>
void Output::emit(bool ok, Members&& members) const {
  rapidjson::StringBuffer buffer;
  JsonWriter w(buffer);
  w.StartObject();
  put(w, "command", command_);
  w.Key("ok");
  w.Bool(ok);
  members(w);
  if (outcome_) {
    const tarnel_outcome& o = *outcome_;
    put(w, "reason", tarnel_reason_word(o.reason));
    w.Key("http_status");
    w.Int64(o.http_status);
    put(w, "cluster_error", o.cluster_error);
    w.Key("attempts");
    w.Int(o.attempts);
    w.Key("login_attempts");
    w.Int(o.login_attempts);
    if (with_size_) {
      w.Key("size_gb");
      double size = 0;
      if (number_of(o.size_requested, size)) {
        w.Double(size);
      } else {
        w.Null();
      }
    }
  }
  w.EndObject();
  print(std::string(buffer.GetString(), buffer.GetSize()) + '\n');
}

int Output::capacity(double value, const std::string& units, double gigabytes) {
  // JSON has no infinity, and a person can use neither it nor a capacity
  // of nothing (an unknown unit converts to 0 GB).
  if (!(std::isfinite(value) && value > 0 && std::isfinite(gigabytes) && gigabytes > 0)) {
    if (outcome_) outcome_->reason = tarnel_reason::bad_reply;
    return fail(kExitFailed, "malformed reply from the cluster (a capacity of " +
                                 plain_number(value) + " " + units +
                                 " is not a finite number of gigabytes above zero)");
  }
  if (json_) {
    emit(true, [&](JsonWriter& w) {
      w.Key("value");
      w.Double(value);
      put(w, "units", units);
      w.Key("gigabytes");
      w.Double(gigabytes);
    });
    return kExitDone;
  }
  std::ostringstream gb;
  gb.imbue(std::locale::classic());
  gb << std::fixed << std::setprecision(2) << gigabytes;
  print_line("Cluster capacity: " + plain_number(value) + ' ' + units + " (" + gb.str() + " GB)");
  return kExitDone;
}

void Output::created(const std::string& name) const {
  if (json_) {
    emit(true, [&](JsonWriter& w) { put(w, "name", name); });
    return;
  }
  print_line("Created virtual disk " + quoted(name) + ".");
}

void Output::exported(const std::string& name, const std::string& host) const {
  if (json_) {
    emit(true, [&](JsonWriter& w) {
      put(w, "name", name);
      put(w, "target", host);
    });
    return;
  }
  print_line("Exported virtual disk " + quoted(name) + " to host " + quoted(host) + ".");
}

void Output::drives(const std::vector<_tarnel_data_drive>& drives) const {
  if (json_) {
    emit(true, [&](JsonWriter& w) {
      w.Key("drives");
      w.StartArray();
      for (const _tarnel_data_drive& d : drives) {
        w.StartObject();
        put(w, "spid", d.spid);
        put(w, "blk", d.blk);
        put(w, "mnt", d.mnt);
        put(w, "slot", d.slot);
        w.Key("healthy");
        w.Int(d.healthy);
        w.EndObject();
      }
      w.EndArray();
    });
    return;
  }
  if (drives.empty()) {
    print_line("No data drives.");
    return;
  }
  const std::vector<std::string> header = {"ID", "DEVICE", "MOUNT", "SLOT", "HEALTH"};
  // Cells are escaped before the columns are measured (escaping again when
  // the line is printed changes nothing).
  std::vector<std::vector<std::string>> rows;
  for (const _tarnel_data_drive& d : drives) {
    rows.push_back({for_people(d.spid), for_people(d.blk), for_people(d.mnt), for_people(d.slot),
                    std::to_string(d.healthy)});
  }
  std::vector<std::size_t> width(header.size());
  for (std::size_t c = 0; c < header.size(); ++c) {
    width[c] = header[c].size();
    for (const auto& row : rows) width[c] = std::max(width[c], row[c].size());
  }
  auto print_row = [&](const std::vector<std::string>& row) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(width[c] - row[c].size() + 2, ' ');
    }
    print_line(line);
  };
  print_row(header);
  for (const auto& row : rows) print_row(row);
}

void Output::logged_in(const std::string& user, const std::string& cluster,
                       const std::string& session_id) const {
  if (json_) {
    emit(true, [&](JsonWriter& w) {
      put(w, "user", user);
      put(w, "cluster", cluster);
      put(w, "session_id", session_id);
    });
    return;
  }
  print_line("Logged in to cluster " + quoted(cluster) + " as " + user + "; session " + session_id);
}

void Output::stored(const std::string& key, const std::string& what) const {
  if (json_) {
    emit(true, [&](JsonWriter& w) {
      put(w, "key", key);
      put(w, "keystore", keystore_path());
    });
    return;
  }
  print_line("Stored " + what + " in " + keystore_path() + ".");
}

void Output::keystore(const std::string& path, unsigned mode,
                      const std::vector<KeystoreEntry>& entries) const {
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", mode & 07777u);
  if (json_) {
    emit(true, [&](JsonWriter& w) {
      put(w, "keystore", path);
      put(w, "mode", octal);
      w.Key("keys");
      w.StartArray();
      for (const KeystoreEntry& e : entries) {
        w.StartObject();
        put(w, "key", e.key);
        if (e.redacted) {
          w.Key("value");
          w.Null();
        } else {
          put(w, "value", e.value);
        }
        w.Key("redacted");
        w.Bool(e.redacted);
        w.EndObject();
      }
      w.EndArray();
    });
    return;
  }
  print_line("Key store " + path + " (mode " + octal + "):");
  if (entries.empty()) print_line("  no keys");
  std::size_t width = 0;
  for (const KeystoreEntry& e : entries) width = std::max(width, for_people(e.key).size());
  for (const KeystoreEntry& e : entries) {
    const std::string key = for_people(e.key);
    // Quoted, so that blanks at either end show; a redacted value is not.
    print_line("  " + key + std::string(width - key.size() + 2, ' ') +
               (e.redacted ? "(set, encrypted)" : quoted(e.value)));
  }
}

void Output::warn(const std::string& message) const { complain("warning: " + message); }

int Output::fail(int exit_code, const std::string& message) const {
  if (json_) {
    emit(false, [&](JsonWriter& w) {
      w.Key("exit_code");
      w.Int(exit_code);
      put(w, "error", message);
    });
  } else {
    complain(message);
  }
  return exit_code;
}

int Output::not_configured(const std::vector<ConfigProblem>& problems) const {
  if (json_) {
    emit(false, [&](JsonWriter& w) {
      w.Key("exit_code");
      w.Int(kExitNotConfigured);
      put(w, "error", "not configured");
      w.Key("missing");
      w.StartArray();
      for (const ConfigProblem& p : problems) {
        w.StartObject();
        put(w, "item", p.item);
        put(w, "message", p.message);
        w.EndObject();
      }
      w.EndArray();
    });
  } else {
    complain("not configured:");
    for (const ConfigProblem& p : problems) to_stderr("  " + p.message);
  }
  return kExitNotConfigured;
}

int Output::finish(int exit_code) const {
  return close_stdout("tarnelctl " + command_, exit_code, write_error_);
}

}  // namespace tarnelctl
