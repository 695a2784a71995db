// The benchmarks' result table: one row per comparison, with its goal and
// whether it was met, echoed on stderr as it is measured and printed as
// Markdown at the end.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace orvella::bench {

struct Row {
  std::string what, measured, goal, ratio, met;
};

inline std::vector<Row>& Table() {
  static std::vector<Row> rows;
  return rows;
}

// `ratio` below 0: none to show.
inline void AddRow(const std::string& what, const std::string& measured, const std::string& goal, double ratio,
                   const char* met) {
  char text[32] = "–";
  if (ratio >= 0) std::snprintf(text, sizeof text, "%.3f", ratio);
  std::fprintf(stderr, "  %s: %s (goal %s, ratio %s) %s\n", what.c_str(), measured.c_str(), goal.c_str(), text, met);
  Table().push_back({what, measured, goal, text, met});
}

inline const char* MetAtMost(double ratio, double goal) {
  return ratio <= goal ? "yes" : "NO";
}
inline const char* MetAtLeast(double ratio, double goal) {
  return ratio >= goal ? "yes" : "NO";
}

inline void PrintTable() {
  std::printf("\n| what | measured | goal | ratio | met? |\n|---|---|---|---|---|\n");
  for (const Row& r : Table())
    std::printf("| %s | %s | %s | %s | %s |\n", r.what.c_str(), r.measured.c_str(), r.goal.c_str(), r.ratio.c_str(),
                r.met.c_str());
}

}  // namespace orvella::bench
