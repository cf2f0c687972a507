// The drive helper's output for the enumeration benchmarks, the library's
// enumeration they measure and the bare parse they measure it against.
#pragma once

#include <benchmark/benchmark.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tarnel_admin.h"

namespace bench {

constexpr int kDriveLines = 10000;

// `count` well-formed drive lines ("spid|device|mount point|slot|health|"),
// each ended by a line feed, as the helper prints them.
inline std::string helper_output(int count = kDriveLines) {
  std::string text;
  char line[128];
  for (int i = 0; i < count; ++i) {
    const int length =
        std::snprintf(line, sizeof line, "5000C500%08X|sd%c%c|/mnt/data/d%05d|%d|%d|\n",
                      0xA0000 + i, 'a' + i / 26 % 26, 'a' + i % 26, i, i % 96, i % 29 == 0 ? 0 : 1);
    text.append(line, static_cast<std::size_t>(length));
  }
  return text;
}

// The library's enumeration (tarnel_admin::enumerate_data_drives), once per
// iteration; each must give kDriveLines records.
inline void enumerate_drives(benchmark::State& state) {
  tarnel_admin admin("bench-operator", "bench-password");
  for (auto _ : state) {
    std::vector<_tarnel_data_drive> drives;
    if (admin.enumerate_data_drives(drives) != 0 || drives.size() != kDriveLines) {
      state.SkipWithError("enumeration failed");
      break;
    }
    benchmark::DoNotOptimize(drives.data());
  }
  state.SetItemsProcessed(state.iterations() * kDriveLines);
}

// The bare loop: the same records from the same text with boost::split, no
// logging and no checks beyond the field count.
inline int split_drives(const std::string& output, std::vector<_tarnel_data_drive>& drives) {
  std::vector<std::string> lines;
  boost::algorithm::split(lines, output, boost::algorithm::is_any_of("\n"));
  for (const std::string& line : lines) {
    if (line.empty()) break;
    std::vector<std::string> fields;
    boost::algorithm::split(fields, line, boost::algorithm::is_any_of("|"));
    if (fields.size() != 6) {
      drives.clear();
      return -1;
    }
    _tarnel_data_drive drive;
    drive.spid = fields[0];
    drive.blk = "/dev/" + fields[1];
    drive.mnt = fields[2];
    drive.slot = fields[3];
    drive.healthy = std::atoi(fields[4].c_str());
    drives.push_back(std::move(drive));
  }
  return 0;
}

}  // namespace bench
