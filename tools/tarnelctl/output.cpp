#include "output.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "exit_codes.h"

namespace tarnelctl {
namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void put(JsonWriter& w, const char* key, const std::string& value) {
  w.Key(key);
  w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

// Writes {"command": ..., "ok": ..., <members>} and a line end to stdout.
template <typename Members>
void emit(const std::string& command, bool ok, Members&& members) {
  rapidjson::StringBuffer buffer;
  JsonWriter w(buffer);
  w.StartObject();
  put(w, "command", command);
  w.Key("ok");
  w.Bool(ok);
  members(w);
  w.EndObject();
  std::cout << buffer.GetString() << '\n' << std::flush;
}

std::string quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

std::string plain_number(double value) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  if (value == static_cast<double>(static_cast<long long>(value)) && value < 1e15 && value > -1e15) {
    out << static_cast<long long>(value);
  } else {
    out << std::setprecision(15) << value;
  }
  return out.str();
}

Output::Output(bool json, std::string command) : json_(json), command_(std::move(command)) {}

void Output::capacity(double value, const std::string& units, double gigabytes) const {
  if (json_) {
    emit(command_, true, [&](JsonWriter& w) {
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
  std::cout << "Cluster capacity: " << plain_number(value) << ' ' << units << " (" << gb.str()
            << " GB)\n";
}

void Output::created(const std::string& name) const {
  if (json_) {
    emit(command_, true, [&](JsonWriter& w) { put(w, "name", name); });
    return;
  }
  std::cout << "Created virtual disk " << quoted(name) << ".\n";
}

void Output::exported(const std::string& name, const std::string& host) const {
  if (json_) {
    emit(command_, true, [&](JsonWriter& w) {
      put(w, "name", name);
      put(w, "target", host);
    });
    return;
  }
  std::cout << "Exported virtual disk " << quoted(name) << " to host " << quoted(host) << ".\n";
}

void Output::drives(const std::vector<_tarnel_data_drive>& drives) const {
  if (json_) {
    emit(command_, true, [&](JsonWriter& w) {
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
    std::cout << "No data drives.\n";
    return;
  }
  const std::vector<std::string> header = {"ID", "DEVICE", "MOUNT", "SLOT", "HEALTH"};
  std::vector<std::vector<std::string>> rows;
  for (const _tarnel_data_drive& d : drives) {
    rows.push_back({d.spid, d.blk, d.mnt, d.slot, std::to_string(d.healthy)});
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
    std::cout << line << '\n';
  };
  print_row(header);
  for (const auto& row : rows) print_row(row);
}

void Output::logged_in(const std::string& user, const std::string& cluster,
                       const std::string& session_id) const {
  if (json_) {
    emit(command_, true, [&](JsonWriter& w) {
      put(w, "user", user);
      put(w, "cluster", cluster);
      put(w, "session_id", session_id);
    });
    return;
  }
  std::cout << "Logged in to cluster " << quoted(cluster) << " as " << user << "; session "
            << session_id << "\n";
}

void Output::stored(const std::string& key, const std::string& what) const {
  if (json_) {
    emit(command_, true, [&](JsonWriter& w) {
      put(w, "key", key);
      put(w, "keystore", keystore_path());
    });
    return;
  }
  std::cout << "Stored " << what << " in " << keystore_path() << ".\n";
}

int Output::fail(int exit_code, const std::string& message) const {
  if (json_) {
    emit(command_, false, [&](JsonWriter& w) {
      w.Key("exit_code");
      w.Int(exit_code);
      put(w, "error", message);
    });
  } else {
    std::cerr << "tarnelctl " << command_ << ": " << message << '\n';
  }
  return exit_code;
}

int Output::not_configured(const std::vector<ConfigProblem>& problems) const {
  if (json_) {
    emit(command_, false, [&](JsonWriter& w) {
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
    std::cerr << "tarnelctl " << command_ << ": not configured:\n";
    for (const ConfigProblem& p : problems) std::cerr << "  " << p.message << '\n';
  }
  return kExitNotConfigured;
}

}  // namespace tarnelctl
