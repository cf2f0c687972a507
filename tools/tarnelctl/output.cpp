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

void Output::print_table(const std::vector<std::string>& header,
                         const std::vector<std::vector<std::string>>& rows) const {
  std::vector<std::size_t> width;
  for (const auto& row : rows) {
    width.resize(std::max(width.size(), row.size()));
    for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  }
  for (std::size_t c = 0; c < header.size() && c < width.size(); ++c) {
    width[c] = std::max(width[c], header[c].size());
  }
  auto print_row = [&](const std::vector<std::string>& row) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(width[c] - row[c].size() + 2, ' ');
    }
    print_line(line);
  };
  if (!header.empty()) print_row(header);
  for (const auto& row : rows) print_row(row);
}

void Output::tell(const std::string& line) const {
  if (!quiet_) print_line(line);
}

void Output::complain(const std::string& line) const {
  to_stderr("tarnelctl " + command_ + ": " + line);
}

// Writes {"command": ..., "ok": ..., "changed": ..., <members>} and a line
// end to stdout; "command" only when the command is known.
template <typename Members>
void Output::emit(bool ok, bool changed, Members&& members) const {
  rapidjson::StringBuffer buffer;
  JsonWriter w(buffer);
  w.StartObject();
  if (!command_.empty()) put(w, "command", command_);
  w.Key("ok");
  w.Bool(ok);
  w.Key("changed");
  w.Bool(changed);
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

void Output::capacity(double value, const std::string& units, double gigabytes) const {
  if (json_) {
    emit(true, false, [&](JsonWriter& w) {
      w.Key("value");
      w.Double(value);
      put(w, "units", units);
      w.Key("gigabytes");
      w.Double(gigabytes);
    });
    return;
  }
  std::ostringstream gb;
  gb.imbue(std::locale::classic());
  gb << std::fixed << std::setprecision(2) << gigabytes;
  print_line("Cluster capacity: " + plain_number(value) + ' ' + units + " (" + gb.str() + " GB)");
}

void Output::created(const std::string& name) const {
  if (json_) {
    emit(true, true, [&](JsonWriter& w) { put(w, "name", name); });
    return;
  }
  const std::string size = outcome_ ? outcome_->size_requested : "";
  tell("Created virtual disk " + quoted(name) + (size.empty() ? "" : " (" + size + " GB)") + ".");
}

void Output::found_existing(const std::string& name, bool maybe_created) const {
  if (json_) {
    emit(true, maybe_created, [&](JsonWriter& w) { put(w, "name", name); });
    return;
  }
  tell(maybe_created ? "Virtual disk " + quoted(name) +
                           " exists; an attempt whose reply was lost may have created it."
                     : "Virtual disk " + quoted(name) + " already exists; nothing changed.");
}

void Output::exported(const std::string& name, const std::string& host) const {
  if (json_) {
    // The cluster answers a repeated Mount as it answers the first.
    emit(true, false, [&](JsonWriter& w) {
      put(w, "name", name);
      put(w, "target", host);
    });
    return;
  }
  tell("Exported virtual disk " + quoted(name) + " to host " + quoted(host) + ".");
}

void Output::drives(const std::vector<_tarnel_data_drive>& drives) const {
  if (json_) {
    emit(true, false, [&](JsonWriter& w) {
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
  print_table(header, rows);
}

void Output::logged_in(const std::string& user, const std::string& cluster,
                       const std::string* session_id) const {
  if (json_) {
    emit(true, false, [&](JsonWriter& w) {
      put(w, "user", user);
      put(w, "cluster", cluster);
      if (session_id != nullptr) put(w, "session_id", *session_id);
    });
    return;
  }
  const std::string line = "Logged in to cluster " + quoted(cluster) + " as " + user;
  if (session_id != nullptr) {
    print_line(line + "; session " + *session_id);
  } else {
    tell(line + ".");
  }
}

void Output::stored(const std::string& key, const std::string& what, bool changed) const {
  if (json_) {
    emit(true, changed, [&](JsonWriter& w) {
      put(w, "key", key);
      put(w, "keystore", keystore_path());
    });
    return;
  }
  tell(changed ? "Stored " + what + " in " + keystore_path() + "."
               : keystore_path() + " already holds " + what + " given; nothing changed.");
}

void Output::keystore(const std::string& path, unsigned mode,
                      const std::vector<KeystoreEntry>& entries) const {
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", mode & 07777u);
  if (json_) {
    emit(true, false, [&](JsonWriter& w) {
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

int Output::doctor(const std::vector<DoctorCheck>& checks, int exit_code,
                   const std::string& error) const {
  static const char* const kWords[] = {"ok", "warn", "FAIL", "skipped"};
  if (json_) {
    emit(exit_code == kExitDone, false, [&](JsonWriter& w) {
      w.Key("checks");
      w.StartArray();
      for (const DoctorCheck& c : checks) {
        w.StartObject();
        put(w, "name", c.name);
        put(w, "status", kWords[static_cast<int>(c.status)]);
        put(w, "detail", c.detail);
        put(w, "fix", c.fix);
        w.EndObject();
      }
      w.EndArray();
      if (exit_code != kExitDone) {
        w.Key("exit_code");
        w.Int(exit_code);
        put(w, "error", error);
      }
    });
    return exit_code;
  }
  std::vector<std::vector<std::string>> rows;
  for (const DoctorCheck& c : checks) {
    rows.push_back({kWords[static_cast<int>(c.status)], c.name, for_people(c.detail)});
    if (!c.fix.empty()) rows.push_back({"", "", "fix: " + for_people(c.fix)});
  }
  print_table({}, rows);
  return exit_code;
}

void Output::warn(const std::string& message) const { complain("warning: " + message); }

int Output::fail(int exit_code, const std::string& message) const {
  if (exit_code == kExitUsage) {
    return usage_error(message, "tarnelctl" + (command_.empty() ? "" : " " + command_));
  }
  if (json_) {
    emit(false, false, [&](JsonWriter& w) {
      w.Key("exit_code");
      w.Int(exit_code);
      put(w, "error", message);
    });
  } else {
    complain(message);
  }
  return exit_code;
}

int Output::usage_error(const std::string& message, const std::string& help_command) const {
  if (json_) {
    emit(false, false, [&](JsonWriter& w) {
      w.Key("exit_code");
      w.Int(kExitUsage);
      put(w, "reason", "usage");
      put(w, "message", message);
      put(w, "error", message);
    });
  }
  to_stderr("tarnelctl: " + message);
  to_stderr("Run '" + help_command + " --help' for usage.");
  return kExitUsage;
}

int Output::not_configured(const std::vector<ConfigProblem>& problems) const {
  if (json_) {
    emit(false, false, [&](JsonWriter& w) {
      w.Key("exit_code");
      w.Int(kExitNotConfigured);
      put(w, "error", "not configured");
      w.Key("missing");
      w.StartArray();
      for (const ConfigProblem& p : problems) {
        w.StartObject();
        put(w, "item", p.item);
        put(w, "message", p.text());
        w.EndObject();
      }
      w.EndArray();
    });
  } else {
    complain("not configured:");
    for (const ConfigProblem& p : problems) to_stderr("  " + p.text());
  }
  return kExitNotConfigured;
}

int Output::finish(int exit_code) const {
  return close_stdout("tarnelctl " + command_, exit_code, write_error_);
}

}  // namespace tarnelctl
