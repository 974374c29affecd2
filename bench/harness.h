// The benchmark's timing harness: the performance counter, warm-up, and
// repeated samples of a figure and its floor taken alternately, so that a
// change in the machine's load meets both alike. Each figure is reported as
// a ratio against its floor measured in the same run.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace rvqbench {

// Seconds since an arbitrary start, from QueryPerformanceCounter.
double Now();

// Seconds per call of `call`, over `batch` calls timed together. A template,
// so that the loop adds no indirect call of its own to what it times.
template <typename Call>
double TimePerCall(Call&& call, int batch) {
  const double start = Now();
  for (int i = 0; i < batch; ++i) call();
  return (Now() - start) / batch;
}

// Median, quartiles and extremes of a set of values.
struct Summary {
  double median = 0;
  double q1 = 0;
  double q3 = 0;
  double min = 0;
  double max = 0;
  size_t count = 0;
};
Summary Summarize(std::vector<double> values);

// One figure: the samples of ours and of its floor (seconds per operation)
// and the ratio of each pair of samples taken side by side.
struct PairResult {
  Summary ours;
  Summary floor;
  Summary ratio;
};

// A sample returns the seconds per operation it measured; it may do untimed
// set-up of its own. `warmup` pairs are run and dropped, then `samples`
// pairs are kept; the order inside a pair alternates.
PairResult MeasurePair(const std::function<double()>& ours, const std::function<double()>& floor, int samples,
                       int warmup);

// "12.3 ns", "4.56 us", "7.89 ms", "1.23 s".
std::string FormatSeconds(double seconds);

}  // namespace rvqbench
