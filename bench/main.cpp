// rvq_bench.exe: measures every figure against its floor in one run and
// prints one table (Markdown). `--quick` takes a few samples only, to check
// that everything runs; `--only=<group>` runs one group (logging, codec,
// process, cleanup, size).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "figures.h"

namespace rvqbench {
namespace {
int g_divisor = 1;
}

int Samples(int full) {
  const int n = full / g_divisor;
  return n < 3 ? 3 : n;
}

std::wstring BinPath(const wchar_t* name) {
  wchar_t path[MAX_PATH + 1];
  const DWORD chars = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
  if (chars == 0 || chars > MAX_PATH) return name;
  std::wstring folder(path, chars);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

Row MakeRow(const std::string& figure, const PairResult& result, const std::string& goal, double goalRatio) {
  Row row;
  row.figure = figure;
  row.ours = FormatSeconds(result.ours.median);
  row.floor = FormatSeconds(result.floor.median);
  char text[96];
  _snprintf(text, sizeof text, "%.2fx (IQR %.2f-%.2f, n=%u)", result.ratio.median, result.ratio.q1, result.ratio.q3,
            static_cast<unsigned>(result.ratio.count));
  text[sizeof text - 1] = '\0';
  row.ratio = text;
  row.goal = goal;
  if (goalRatio > 0) row.verdict = result.ratio.median <= goalRatio ? "yes" : "NO";
  return row;
}

Row FailedRow(const std::string& figure, const std::string& why, const std::string& goal) {
  Row row;
  row.figure = figure;
  row.ours = "not measured: " + why;
  row.goal = goal;
  row.verdict = "NO";
  return row;
}

}  // namespace rvqbench

int main(int argc, char** argv) {
  using namespace rvqbench;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) g_divisor = 10;
    if (std::strncmp(argv[i], "--only=", 7) == 0) only = argv[i] + 7;
    // --probe=text|text-ini|floor|etw:COUNT, for --syscalls and profilers.
    if (std::strncmp(argv[i], "--probe=", 8) == 0) {
      const std::string spec = argv[i] + 8;
      const size_t colon = spec.find(':');
      return TextEntryProbe(spec.substr(0, colon), colon == std::string::npos ? 100 : std::atoi(spec.c_str() + colon + 1));
    }
  }
  std::vector<Row> rows;
  const struct {
    const char* name;
    void (*run)(std::vector<Row>&);
  } groups[] = {{"logging", LoggingFigures}, {"codec", CodecFigures},   {"process", ProcessFigures},
                {"cleanup", CleanupFigures}, {"size", SizeFigures}};
  for (const auto& group : groups) {
    if (!only.empty() && only != group.name) continue;
    const size_t before = rows.size();
    const double start = Now();
    group.run(rows);
    std::fprintf(stderr, "%s: %.0f s\n", group.name, Now() - start);
    for (size_t i = before; i < rows.size(); ++i) {
      std::fprintf(stderr, "  %s: %s / %s = %s\n", rows[i].figure.c_str(), rows[i].ours.c_str(), rows[i].floor.c_str(),
                   rows[i].ratio.c_str());
    }
  }
  std::printf("| Figure | Ours (median) | Floor (median) | Ratio (median, IQR of paired samples) | Goal | Met |\n");
  std::printf("|---|---|---|---|---|---|\n");
  bool allMet = true;
  for (const Row& row : rows) {
    std::printf("| %s | %s | %s | %s | %s | %s |\n", row.figure.c_str(), row.ours.c_str(), row.floor.c_str(),
                row.ratio.c_str(), row.goal.c_str(), row.verdict.c_str());
    if (row.verdict.compare(0, 2, "NO") == 0) allMet = false;
  }
  std::fflush(stdout);
  return allMet ? 0 : 1;
}
