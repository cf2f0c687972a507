// The fixture of the tarnelctl end-to-end tests: a temporary directory, the
// simulator started from it and a node whose :8080 is routed to it. Members
// go in reverse order, so the simulator is stopped before the directory is
// removed.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e_cluster.h"

namespace e2e {

class ClusterTest : public ::testing::Test {
 protected:
  // Starts the simulator and sets up the node (not yet provisioned).
  void start(const SimOptions& options = SimOptions()) {
    sim = std::make_unique<Simulator>(dir, options);
    node = std::make_unique<Node>(dir, sim->port());
  }
  // Starts and provisions the node with its own credentials.
  void start_provisioned(const SimOptions& options = SimOptions()) {
    start(options);
    ASSERT_NO_FATAL_FAILURE(node->provision());
  }
  // Starts a provisioned node whose simulator applies `fault` (flag form).
  void start_with_fault(const std::string& fault) {
    SimOptions options;
    options.args = {"--fault", fault};
    start_provisioned(options);
  }

  // The texts of the simulator's request log, in order.
  std::vector<std::string> texts() const {
    std::vector<std::string> list;
    for (const SimRequest& r : sim->requests()) list.push_back(r.text);
    return list;
  }
  // The request type names of the simulator's request log, in order.
  std::vector<std::string> kinds() const {
    std::vector<std::string> list;
    for (const SimRequest& r : sim->requests()) list.push_back(r.request);
    return list;
  }

  // Asserts, for the first `count` log lines holding `fragment`, that the
  // next line of the log was written at least the scaled pause of that
  // attempt later (lower bounds only).
  void expect_pauses_after(const std::string& fragment, int count) const {
    const std::vector<LogLine> lines = node->log();
    int attempt = 0;
    for (std::size_t i = 0; i < lines.size() && attempt < count; ++i) {
      if (lines[i].text.find(fragment) == std::string::npos) continue;
      ++attempt;
      ASSERT_LT(i + 1, lines.size()) << "no line after failed attempt " << attempt;
      const double gap_ms = static_cast<double>(lines[i + 1].micros - lines[i].micros) / 1000.0;
      EXPECT_GE(gap_ms, scaled_pause_ms(attempt))
          << "pause after failed attempt " << attempt << " before: " << lines[i + 1].text;
    }
    EXPECT_EQ(attempt, count) << "failed attempts logged with: " << fragment;
  }

  TempDir dir;
  std::unique_ptr<Simulator> sim;
  std::unique_ptr<Node> node;
};

}  // namespace e2e
