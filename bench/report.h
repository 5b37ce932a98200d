// The benchmark's output: table of medians and ratios, CSV of every run, latency plot.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "syscall_count.h"
#include "trial.h"

namespace bench {

// A bound on one ratio of the table: the median over rounds of subject /
// reference in one row (its label without the indent) of one workload.
struct ratio_target {
  std::string workload;
  std::string row;
  std::string subject;
  std::string reference;
  double limit = 1.0;
  bool limit_included = true;  // at most the limit, or below it
};

// The row of datagrams that are not exactly one pose. Its ratios are of
// the percentages plus one, so that a run with none still compares.
extern const char* const not_one_pose_label;

struct report_input {
  std::vector<std::string> candidates;  // in column order
  std::vector<workload> workloads;
  std::vector<trial_result> runs;
  std::vector<syscall_count> syscalls;
  std::vector<ratio_target> targets;
  int rounds = 0;
};

// The table, plain text and Markdown. Ratios are the subject's value over
// the reference's in the same round, summarised over rounds.
std::string text_table(const report_input& in);
std::string markdown_table(const report_input& in);

// Each target with its median ratio (min..max) and "met" or "not met"; ""
// when there are none. As Markdown, a list.
std::string targets_text(const report_input& in, bool markdown);

// runs.csv, a line per run as it ends: the header line, and a run's line.
std::string csv_header();
std::string csv_row(const trial_result& run);

// The latency below which `share` of the run's poses arrived (1.0: the
// largest), in microseconds; nothing for a run that timed no pose.
std::optional<double> latency_at(const trial_result& run, double share);

// Latency distributions (every round pooled) as data files, and a gnuplot
// script that draws them into `png`. Returns the script's path, or "" if a
// file could not be written.
std::string write_latency_plot(const report_input& in, const std::string& out_dir,
                               const std::string& png);

}  // namespace bench
