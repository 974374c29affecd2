// The benchmark's figures. Each appends its rows to the table; a figure that
// cannot be measured (a missing file, a failed set-up) appends a row that
// says so instead of a number.
#pragma once

#include <string>
#include <vector>

#include "harness.h"

namespace rvqbench {

// Compilers may not inline calls through this, so that a floor measures a
// real call like the figure it is compared with.
#if defined(_MSC_VER)
#define RVQ_BENCH_NOINLINE __declspec(noinline)
#else
#define RVQ_BENCH_NOINLINE __attribute__((noinline))
#endif

struct Row {
  std::string figure;
  std::string ours;   // median, formatted
  std::string floor;  // median, formatted
  std::string ratio;  // median ratio with its interquartile range
  std::string goal;
  std::string verdict;  // "yes", "NO", or a note for rows without a ratio goal
};

// A row from a measured pair. goalRatio <= 0: no ratio goal (the verdict is
// left to the caller).
Row MakeRow(const std::string& figure, const PairResult& result, const std::string& goal, double goalRatio);
Row FailedRow(const std::string& figure, const std::string& why, const std::string& goal);

// Scale of the run: 1 for the full run; the quick run (--quick) divides the
// number of samples, for a check that everything works.
int Samples(int full);

void LoggingFigures(std::vector<Row>& rows);
void CodecFigures(std::vector<Row>& rows);
void ProcessFigures(std::vector<Row>& rows);
void CleanupFigures(std::vector<Row>& rows);
void SizeFigures(std::vector<Row>& rows);

// For counting system calls and profiling: `count` ETW events ("etw"),
// `count` text entries ("text": no ring index
// stored, "text-ini": index in log.ini) or plain appends ("floor") between
// two markers (attribute queries of absent files named
// rvq-bench-probe-start.marker and rvq-bench-probe-end.marker). 0 on success.
int TextEntryProbe(const std::string& which, int count);

// Full path of a file next to the benchmark executable.
std::wstring BinPath(const wchar_t* name);

}  // namespace rvqbench
