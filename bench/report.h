// The benchmark's output: table of medians and ratios, CSV of every run, latency plot.
#pragma once

#include <string>
#include <vector>

#include "syscall_count.h"
#include "trial.h"

namespace bench {

struct report_input {
  std::vector<std::string> candidates;  // in column order
  std::vector<workload> workloads;
  std::vector<trial_result> runs;
  std::vector<syscall_count> syscalls;
  int rounds = 0;
};

// The table, plain text and Markdown. Ratios are the subject's value over
// the reference's in the same round, summarised over rounds.
std::string text_table(const report_input& in);
std::string markdown_table(const report_input& in);

// One line per run; returns false if the file could not be written.
bool write_csv(const std::string& path, const std::vector<trial_result>& runs);
std::string csv_header();
std::string csv_row(const trial_result& run);

// Latency distributions (every round pooled) as data files, and a gnuplot
// script that draws them into `png`. Returns the script's path, or "" if a
// file could not be written.
std::string write_latency_plot(const report_input& in, const std::string& out_dir,
                               const std::string& png);

}  // namespace bench
