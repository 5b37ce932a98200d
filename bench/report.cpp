// Medians over rounds, ratios within rounds, and the files a run leaves.
#include "report.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>

namespace bench {

const char* const not_one_pose_label = "datagrams not one pose (%; ratio of % + 1)";

// Nearest rank: the smallest sample with at least `share` of them at or below.
std::optional<double> latency_at(const trial_result& run, double share) {
  const std::vector<double>& sorted = run.latency_us;
  if (sorted.empty()) return std::nullopt;
  const auto n = static_cast<double>(sorted.size());
  const auto rank = static_cast<std::size_t>(std::max(1.0, std::ceil(share * n)));
  return sorted[std::min(rank, sorted.size()) - 1];
}

namespace {

// The latency points of the table and of the CSV, in their order.
struct latency_point {
  const char* label;   // in the table, before " (us)"
  const char* column;  // in the CSV
  double share;
};
constexpr latency_point latency_points[] = {{"p50", "p50_us", 0.50},
                                            {"p90", "p90_us", 0.90},
                                            {"p99", "p99_us", 0.99},
                                            {"p99.9", "p999_us", 0.999},
                                            {"max", "max_us", 1.0}};

using run_value = std::function<std::optional<double>(const trial_result&)>;

struct table_row {
  std::string label;
  std::string workload;  // the run the value comes from; empty for the round-wide rows
  run_value value;
  bool ratio = true;          // whether subject / reference means anything
  bool peak_memory = false;   // the largest peak RSS among the round's runs
  bool syscalls = false;      // from the strace runs, measured once
  double ratio_offset = 0.0;  // added to both values before dividing
};

struct spread {
  double median = 0.0;
  double low = 0.0;
  double high = 0.0;
  std::size_t count = 0;
};

constexpr double bytes_per_mb = 1e6;

std::optional<double> spread_of(std::vector<double> values, spread& out) {
  if (values.empty()) return std::nullopt;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  out.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
  out.low = values.front();
  out.high = values.back();
  out.count = n;
  return out.median;
}

std::optional<double> megabytes_per_s(const trial_result& run) {
  if (run.elapsed <= 0) return std::nullopt;
  return static_cast<double>(run.bytes_received) / bytes_per_mb / to_s(run.elapsed);
}

std::optional<double> datagrams_per_s(const trial_result& run) {
  if (run.elapsed <= 0) return std::nullopt;
  return static_cast<double>(run.datagrams) / to_s(run.elapsed);
}

std::optional<double> cpu_ms_per_mb(const trial_result& run) {
  if (!run.ran_process || run.bytes_written == 0) return std::nullopt;
  return run.cpu_ms / (static_cast<double>(run.bytes_written) / bytes_per_mb);
}

double difference(std::uint64_t sent, std::uint64_t received) {
  return static_cast<double>(sent) - static_cast<double>(received);
}

std::optional<double> not_one_pose_percent(const trial_result& run) {
  if (run.datagrams == 0) return std::nullopt;
  return 100.0 * static_cast<double>(run.not_one_pose) / static_cast<double>(run.datagrams);
}

// "0.5 ms" for a 1 ms period.
std::string half_period(nanoseconds period) {
  char text[32];
  std::snprintf(text, sizeof text, "%g ms", to_ms(period) / 2.0);
  return text;
}

void add_latency_rows(const workload& w, std::vector<table_row>& rows) {
  for (const latency_point& point : latency_points) {
    const double share = point.share;
    rows.push_back({std::string("  ") + point.label + " (us)", w.name,
                    [share](const trial_result& r) { return latency_at(r, share); }});
  }
  rows.push_back({"  poses lost", w.name,
                  [](const trial_result& r) -> std::optional<double> {
                    return difference(r.poses_sent, r.poses_received);
                  },
                  false});
  table_row split{std::string("  ") + not_one_pose_label, w.name, not_one_pose_percent};
  split.ratio_offset = 1.0;
  rows.push_back(split);
  if (w.kind == workload_kind::paced_poses) {
    // How often the machine itself held the device up: the noise behind
    // this run's tail.
    rows.push_back({"  poses the device sent late (>= " + half_period(w.period) + ")", w.name,
                    [](const trial_result& r) -> std::optional<double> {
                      return static_cast<double>(r.late_poses);
                    },
                    false});
  }
  if (w.under_load) {
    // Whether each relay ran raised: it shows that a raise happened, or was refused.
    rows.push_back({"  relay's nice value while relaying", w.name,
                    [](const trial_result& r) -> std::optional<double> {
                      if (!r.relay_nice) return std::nullopt;
                      return static_cast<double>(*r.relay_nice);
                    },
                    false});
  }
}

void add_bulk_rows(const workload& w, std::vector<table_row>& rows) {
  rows.push_back({"  MB/s delivered", w.name, megabytes_per_s});
  rows.push_back({"  datagrams/s", w.name, datagrams_per_s});
  rows.push_back({"  bytes lost", w.name,
                  [](const trial_result& r) -> std::optional<double> {
                    return difference(r.bytes_written, r.bytes_received);
                  },
                  false});
  rows.push_back({"  relay CPU ms per MB", w.name, cpu_ms_per_mb});
}

void add_start_up_rows(const workload& w, std::vector<table_row>& rows) {
  rows.push_back(
      {"  spawn to connected (ms)", w.name, [](const trial_result& r) -> std::optional<double> {
         if (!r.ran_process) return std::nullopt;
         return r.connect_ms;
       }});
}

// A section title (no value) and its rows, for each workload in turn.
std::vector<table_row> rows_for(const report_input& in) {
  std::vector<table_row> rows;
  for (const workload& w : in.workloads) {
    rows.push_back({w.name, "", nullptr});
    switch (w.kind) {
      case workload_kind::start_up:
        add_start_up_rows(w, rows);
        break;
      case workload_kind::paced_poses:
      case workload_kind::back_to_back_poses:
        add_latency_rows(w, rows);
        break;
      case workload_kind::bulk:
        add_bulk_rows(w, rows);
        break;
    }
  }
  rows.push_back({"every run", "", nullptr});
  table_row memory{"  peak RSS (MB), largest of the round", "", nullptr};
  memory.peak_memory = true;
  rows.push_back(memory);
  if (!in.syscalls.empty()) {
    rows.push_back({"strace -c -f, paced poses", "", nullptr});
    table_row calls{"  system calls per relayed piece", "", nullptr};
    calls.syscalls = true;
    rows.push_back(calls);
  }
  return rows;
}

const trial_result* find_run(const report_input& in, const std::string& who, int round,
                             const std::string& workload_name) {
  const auto found = std::find_if(in.runs.begin(), in.runs.end(), [&](const trial_result& run) {
    return run.round == round && run.candidate == who && run.workload == workload_name && run.ok();
  });
  return found == in.runs.end() ? nullptr : &*found;
}

std::optional<double> peak_memory_mb(const report_input& in, const std::string& who, int round) {
  long peak = 0;
  for (const trial_result& run : in.runs) {
    if (run.round == round && run.candidate == who && run.ok() && run.ran_process) {
      peak = std::max(peak, run.max_rss_kb);
    }
  }
  if (peak == 0) return std::nullopt;
  return static_cast<double>(peak) / 1024.0;
}

std::optional<double> syscalls_per_piece(const report_input& in, const std::string& who) {
  const auto found =
      std::find_if(in.syscalls.begin(), in.syscalls.end(),
                   [&who](const syscall_count& c) { return c.candidate == who && c.ok(); });
  if (found == in.syscalls.end()) return std::nullopt;
  return found->per_piece;
}

// The row's value for one candidate in one round; the strace count, taken
// once, stands in round 1 only.
std::optional<double> value_in_round(const report_input& in, const table_row& row,
                                     const std::string& who, int round) {
  if (row.syscalls) return round == 1 ? syscalls_per_piece(in, who) : std::nullopt;
  if (row.peak_memory) return peak_memory_mb(in, who, round);
  const trial_result* run = find_run(in, who, round, row.workload);
  if (run == nullptr) return std::nullopt;
  return row.value(*run);
}

// Three significant digits or so: two decimals where a ratio is read
// against 1.0, fewer where it is far off.
std::string ratio_number(double v) {
  const double size = std::fabs(v);
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", size >= 100.0 ? 0 : size >= 10.0 ? 1 : 2, v);
  return text;
}

// As ratio_number, but whole numbers (counts) stay whole.
std::string number(double v) {
  if (v != std::floor(v)) return ratio_number(v);
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", v);
  return text;
}

std::string cell(const std::vector<double>& values, std::string (*show)(double)) {
  spread s;
  if (!spread_of(values, s)) return "-";
  std::string out = show(s.median);
  if (s.count > 1 && show(s.low) != show(s.high)) {
    out += " (" + show(s.low) + ".." + show(s.high) + ")";
  }
  return out;
}

std::vector<double> values_over_rounds(const report_input& in, const table_row& row,
                                       const std::string& who) {
  std::vector<double> values;
  for (int round = 1; round <= in.rounds; ++round) {
    if (const auto v = value_in_round(in, row, who, round)) values.push_back(*v);
  }
  return values;
}

std::vector<double> ratios_over_rounds(const report_input& in, const table_row& row,
                                       const std::string& subject, const std::string& reference) {
  std::vector<double> ratios;
  for (int round = 1; round <= in.rounds; ++round) {
    const auto a = value_in_round(in, row, subject, round);
    const auto b = value_in_round(in, row, reference, round);
    if (a && b && *b + row.ratio_offset > 0.0) {
      ratios.push_back((*a + row.ratio_offset) / (*b + row.ratio_offset));
    }
  }
  return ratios;
}

using grid = std::vector<std::vector<std::string>>;

std::string ratio_title(const std::string& subject, const std::string& reference) {
  return subject + " / " + reference;
}

// Cells of the table: a header line, then one line per row.
grid cells(const report_input& in) {
  grid out;
  const std::string subject = "tavorin-relay";
  std::vector<std::string> references;
  for (const char* name : {"socat", "floor"}) {
    if (std::find(in.candidates.begin(), in.candidates.end(), name) != in.candidates.end()) {
      references.emplace_back(name);
    }
  }
  std::copy_if(in.candidates.begin(), in.candidates.end(), std::back_inserter(references),
               [&subject](const std::string& name) {
                 return name != subject && name != "socat" && name != "floor";
               });
  std::vector<std::string> header{"median over rounds (min..max)"};
  header.insert(header.end(), in.candidates.begin(), in.candidates.end());
  std::transform(
      references.begin(), references.end(), std::back_inserter(header),
      [&subject](const std::string& reference) { return ratio_title(subject, reference); });
  out.push_back(header);
  for (const table_row& row : rows_for(in)) {
    std::vector<std::string> line{row.label};
    const bool title = !row.value && !row.peak_memory && !row.syscalls;
    for (std::size_t i = 1; i < header.size(); ++i) line.emplace_back(title ? "" : "-");
    if (!title) {
      for (std::size_t c = 0; c < in.candidates.size(); ++c) {
        line[c + 1] = cell(values_over_rounds(in, row, in.candidates[c]), number);
      }
      for (std::size_t r = 0; r < references.size() && row.ratio; ++r) {
        line[in.candidates.size() + 1 + r] =
            cell(ratios_over_rounds(in, row, subject, references[r]), ratio_number);
      }
    }
    out.push_back(line);
  }
  return out;
}

std::string slug(const std::string& name) {
  std::string out;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) != 0) {
      out += static_cast<char>(std::tolower(u));
    } else if (!out.empty() && out.back() != '-') {
      out += '-';
    }
  }
  while (!out.empty() && out.back() == '-') out.pop_back();
  return out;
}

std::vector<double> pooled_latency(const report_input& in, const std::string& who,
                                   const std::string& workload_name) {
  std::vector<double> all;
  for (const trial_result& run : in.runs) {
    if (run.candidate == who && run.workload == workload_name && run.ok() && run.round > 0) {
      all.insert(all.end(), run.latency_us.begin(), run.latency_us.end());
    }
  }
  std::sort(all.begin(), all.end());
  return all;
}

// At most ~4000 points, evenly by rank, plus every point of the last 0.1%,
// where the tail the plot is read for lives.
bool write_cdf(const std::string& path, const std::vector<double>& sorted) {
  std::ofstream out(path);
  if (!out) return false;
  const std::size_t n = sorted.size();
  const std::size_t step = std::max<std::size_t>(1, n / 4000);
  const std::size_t tail = n - std::min(n, std::max<std::size_t>(40, n / 1000));
  for (std::size_t i = 0; i < n; ++i) {
    if (i % step != 0 && i < tail && i + 1 != n) continue;
    out << sorted[i] << ' ' << static_cast<double>(i + 1) / static_cast<double>(n) << '\n';
  }
  return static_cast<bool>(out);
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') out += '\'';  // gnuplot doubles a quote inside single quotes
    out += c;
  }
  return out + "'";
}

}  // namespace

std::string text_table(const report_input& in) {
  const grid g = cells(in);
  std::vector<std::size_t> widths(g.front().size(), 0);
  for (const auto& line : g) {
    for (std::size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
  }
  std::string out;
  for (const auto& line : g) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const std::string padding(widths[i] - line[i].size(), ' ');
      text += i == 0 ? line[i] + padding : "  " + padding + line[i];
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out += text + '\n';
  }
  return out;
}

std::string markdown_table(const report_input& in) {
  const grid g = cells(in);
  std::string out;
  for (std::size_t l = 0; l < g.size(); ++l) {
    const auto& line = g[l];
    const bool title = l > 0 && line[0].rfind("  ", 0) != 0;
    out += '|';
    for (std::size_t i = 0; i < line.size(); ++i) {
      std::string text = i == 0 && line[i].rfind("  ", 0) == 0 ? line[i].substr(2) : line[i];
      if (title && i == 0) {
        text.insert(0, "**");
        text += "**";
      }
      out += ' ' + text + " |";
    }
    out += '\n';
    if (l == 0) {
      out += "|---|";
      for (std::size_t i = 1; i < line.size(); ++i) out += "---:|";
      out += '\n';
    }
  }
  return out;
}

std::string targets_text(const report_input& in, bool markdown) {
  if (in.targets.empty()) return "";
  const std::vector<table_row> rows = rows_for(in);
  std::string out = "Targets, each on the median of per-round ratios (min..max)";
  std::string workload_name;
  for (const ratio_target& t : in.targets) {
    if (t.workload != workload_name) {
      workload_name = t.workload;
      out += (markdown ? "\n\n*" : "\n") + workload_name + (markdown ? "*\n\n" : ":\n");
    }
    const auto row = std::find_if(rows.begin(), rows.end(), [&t](const table_row& r) {
      return r.workload == t.workload && r.label.substr(2) == t.row;
    });
    std::string line = t.row + ", " + ratio_title(t.subject, t.reference) +
                       (t.limit_included ? " <= " : " < ") + ratio_number(t.limit) + ": ";
    if (row == rows.end()) {
      line += "no such row";
    } else {
      const std::vector<double> ratios = ratios_over_rounds(in, *row, t.subject, t.reference);
      spread s;
      if (!spread_of(ratios, s)) {
        line += "not measured";
      } else {
        const bool met = t.limit_included ? s.median <= t.limit : s.median < t.limit;
        line += cell(ratios, ratio_number) + (met ? ", met" : ", not met");
      }
    }
    out += (markdown ? "- " : "  ") + line + '\n';
  }
  return out;
}

namespace {

// "" for a value that does not apply to a run.
std::string decimal(const std::optional<double>& v) {
  if (!v) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", *v);
  return text;
}

// RFC 4180: a field with a comma or a quote is quoted, its quotes doubled.
std::string text_field(const std::string& text) {
  if (text.find_first_of(",\"\n") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// One column of runs.csv: its name and its field for a run.
struct csv_column {
  std::string name;
  std::function<std::string(const trial_result&)> field;
};

std::vector<csv_column> make_csv_columns() {
  using run = const trial_result&;
  const auto process_only = [](run r, double v) {
    return r.ran_process ? decimal(v) : std::string();
  };
  std::vector<csv_column> columns{
      {"round", [](run r) { return std::to_string(r.round); }},
      {"slot", [](run r) { return std::to_string(r.slot); }},
      {"slice", [](run r) { return std::to_string(r.slice); }},
      {"candidate", [](run r) { return text_field(r.candidate); }},
      {"workload", [](run r) { return text_field(r.workload); }},
      {"status", [](run r) { return r.ok() ? std::string("ok") : text_field(r.failure); }},
      {"exit", [](run r) { return text_field(r.exit); }},
      {"connect_ms", [=](run r) { return process_only(r, r.connect_ms); }},
      {"cpu_ms", [=](run r) { return process_only(r, r.cpu_ms); }},
      {"max_rss_kb",
       [](run r) { return r.ran_process ? std::to_string(r.max_rss_kb) : std::string(); }},
      {"bytes_written", [](run r) { return std::to_string(r.bytes_written); }},
      {"bytes_received", [](run r) { return std::to_string(r.bytes_received); }},
      {"bytes_lost", [](run r) { return decimal(difference(r.bytes_written, r.bytes_received)); }},
      {"datagrams", [](run r) { return std::to_string(r.datagrams); }},
      {"not_one_pose", [](run r) { return std::to_string(r.not_one_pose); }},
      {"poses_sent", [](run r) { return std::to_string(r.poses_sent); }},
      {"poses_received", [](run r) { return std::to_string(r.poses_received); }},
      {"poses_lost", [](run r) { return decimal(difference(r.poses_sent, r.poses_received)); }},
      {"late_poses", [](run r) { return std::to_string(r.late_poses); }},
      {"elapsed_s", [](run r) { return r.elapsed > 0 ? decimal(to_s(r.elapsed)) : std::string(); }},
      {"mb_per_s", [](run r) { return decimal(megabytes_per_s(r)); }},
      {"datagrams_per_s", [](run r) { return decimal(datagrams_per_s(r)); }},
      {"cpu_ms_per_mb", [](run r) { return decimal(cpu_ms_per_mb(r)); }},
  };
  for (const latency_point& point : latency_points) {
    const double share = point.share;
    columns.push_back({point.column, [share](run r) { return decimal(latency_at(r, share)); }});
  }
  columns.push_back({"device_cpu_ms", [](run r) { return decimal(r.device_cpu_ms); }});
  columns.push_back({"receiver_cpu_ms", [](run r) { return decimal(r.receiver_cpu_ms); }});
  columns.push_back({"syscalls", [](run r) {
                       return r.syscalls >= 0 ? std::to_string(r.syscalls) : std::string();
                     }});
  columns.push_back({"relay_nice", [](run r) {
                       return r.relay_nice ? std::to_string(*r.relay_nice) : std::string();
                     }});
  return columns;
}

// The one list of columns: the header and every row follow it.
const std::vector<csv_column>& csv_columns() {
  static const std::vector<csv_column> columns = make_csv_columns();
  return columns;
}

}  // namespace

std::string csv_header() {
  std::string out;
  for (const csv_column& column : csv_columns()) out += (out.empty() ? "" : ",") + column.name;
  return out;
}

std::string csv_row(const trial_result& run) {
  std::string out;
  bool first = true;
  for (const csv_column& column : csv_columns()) {
    if (!first) out += ',';
    out += column.field(run);
    first = false;
  }
  return out;
}

std::string write_latency_plot(const report_input& in, const std::string& out_dir,
                               const std::string& png) {
  std::string panels;
  int panel_count = 0;
  for (const workload& w : in.workloads) {
    if (w.kind != workload_kind::paced_poses && w.kind != workload_kind::back_to_back_poses) {
      continue;
    }
    std::string lines;
    for (std::size_t c = 0; c < in.candidates.size(); ++c) {
      const std::string& who = in.candidates[c];
      const std::vector<double> sorted = pooled_latency(in, who, w.name);
      if (sorted.empty()) continue;
      const std::string data = out_dir + "/cdf-" + slug(w.name) + "-" + slug(who) + ".dat";
      if (!write_cdf(data, sorted)) return "";
      // One colour per candidate in every panel, whoever else runs there.
      lines += std::string(lines.empty() ? "plot " : ", \\\n     ") + quoted(data) +
               " using 1:2 with steps lw 2 lt " + std::to_string(c + 1) + " title " + quoted(who);
    }
    if (lines.empty()) continue;
    panels += "set title " + quoted(w.name) + "\n" + lines + "\n";
    ++panel_count;
  }
  if (panel_count == 0) return "";
  const std::string script_path = out_dir + "/latency-cdf.gp";
  std::ofstream script(script_path);
  if (!script) return "";
  script << "# Draws the one-way latency CDFs the benchmark wrote next to this file.\n"
         << "set terminal pngcairo size " << 640 * panel_count << ",520 font ',10'\n"
         << "set output " << quoted(png) << "\n"
         << "set multiplot layout 1," << panel_count
         << " title 'One-way latency, device write to receiver read (all rounds pooled)'\n"
         << "set logscale x\nset format x '%g'\nset grid xtics mxtics ytics\nset key bottom right\n"
         << "set xlabel 'one-way latency (us, log scale)'\nset ylabel 'share of poses'\n"
         << "set yrange [0:1]\n"
         << panels << "unset multiplot\n";
  return script ? script_path : "";
}

}  // namespace bench
