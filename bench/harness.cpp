#include "harness.h"

#include <algorithm>
#include <cstdio>

namespace rvqbench {

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / frequency;
}

namespace {
// Linear interpolation between the closest ranks of sorted values.
double Quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  const double position = q * static_cast<double>(sorted.size() - 1);
  const size_t below = static_cast<size_t>(position);
  const size_t above = std::min(below + 1, sorted.size() - 1);
  const double weight = position - static_cast<double>(below);
  return sorted[below] * (1 - weight) + sorted[above] * weight;
}
}  // namespace

Summary Summarize(std::vector<double> values) {
  Summary s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.count = values.size();
  s.min = values.front();
  s.max = values.back();
  s.median = Quantile(values, 0.5);
  s.q1 = Quantile(values, 0.25);
  s.q3 = Quantile(values, 0.75);
  return s;
}

PairResult MeasurePair(const std::function<double()>& ours, const std::function<double()>& floor, int samples,
                       int warmup) {
  for (int i = 0; i < warmup; ++i) {
    ours();
    floor();
  }
  std::vector<double> o, f, r;
  for (int i = 0; i < samples; ++i) {
    double a, b;
    if (i % 2 == 0) {
      a = ours();
      b = floor();
    } else {
      b = floor();
      a = ours();
    }
    o.push_back(a);
    f.push_back(b);
    r.push_back(b > 0 ? a / b : 0);
  }
  return PairResult{Summarize(o), Summarize(f), Summarize(r)};
}

std::string FormatSeconds(double seconds) {
  char text[32];
  if (seconds < 1e-6) {
    _snprintf(text, sizeof text, "%.1f ns", seconds * 1e9);
  } else if (seconds < 1e-3) {
    _snprintf(text, sizeof text, "%.2f us", seconds * 1e6);
  } else if (seconds < 1) {
    _snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
  } else {
    _snprintf(text, sizeof text, "%.2f s", seconds);
  }
  text[sizeof text - 1] = '\0';
  return text;
}

}  // namespace rvqbench
