// The logging paths: the severity test, one text log entry, one ETW event.
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <string>

#include "allocation_counter.h"
#include "common/unique_handle.h"
#include "etw_logging.h"
#include "etw_utf8.h"
#include "figures.h"
#include "ini/ini_reader.h"
#include "logging.h"
#include "text_log_format.h"
#include "text_logging.h"
#include "trace_recorder.h"

namespace rvqbench {
namespace {

volatile int g_sink = 0;

// 80 characters, as a typical step message.
const wchar_t kMessage[] = L"Removed user password vault file: [C:\\users\\benchmark\\AppData\\Local\\Bryxen\\RVQ\\]";
static_assert(sizeof kMessage / sizeof(wchar_t) - 1 == 80, "the message has 80 characters");

constexpr const wchar_t* kSource = L"logging_figures.cpp";
constexpr const wchar_t* kFunction = L"LoggingFigures";
constexpr int kLine = 42;

void DeleteFilesIn(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  Trevalk::UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!find) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileW((folder + L"\\" + found.cFileName).c_str());
  } while (FindNextFileW(find.get(), &found));
}

// The floor of a text entry: open the file, append the bytes, close it.
RVQ_BENCH_NOINLINE void AppendPlain(const wchar_t* path, const void* bytes, DWORD size) {
  Trevalk::UniqueFileHandle file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.get(), bytes, size, &written, nullptr);
}

void SeverityTestFigure(std::vector<Row>& rows, ETWLogging::CLoggingIf* logger) {
  // The floor: one atomic load of the logger, one virtual call of its test.
  static std::atomic<ETWLogging::CLoggingIf*> published;
  published.store(logger, std::memory_order_release);
  const int batch = 200000;
  const PairResult result = MeasurePair(
      [&] {
        return TimePerCall([] { g_sink = g_sink + ETWLogging::IsLogEnabled(ETWLogging::kSeverityNormal); }, batch);
      },
      [&] {
        return TimePerCall(
            [] { g_sink = g_sink + published.load(std::memory_order_acquire)->IsEnabled(ETWLogging::kSeverityNormal); },
            batch);
      },
      Samples(101), 3);
  rows.push_back(MakeRow("`IsLogEnabled`, disabled severity", result, "<= 2x", 2.0));
}

void TextEntryFigures(std::vector<Row>& rows, ETWLogging::LogContext* context, ETWLogging::CLogging* text) {
  const std::wstring folder = text->LogFolder();
  const std::wstring floorPath = folder + L"\\floor.bin";
  // The same bytes the writer appends: the line of this message, now.
  ETWLogging::textlog::LineParts parts;
  GetLocalTime(&parts.time);
  parts.severity = ETWLogging::kSeverityError;
  parts.options = text->GetOptions();
  parts.executableName = text->HasExecutableName() ? L"rvq_bench.exe" : nullptr;
  parts.processId = GetCurrentProcessId();
  parts.threadId = GetCurrentThreadId();
  parts.sourceFile = kSource;
  parts.function = kFunction;
  parts.line = kLine;
  parts.message = kMessage;
  std::wstring line;
  ETWLogging::textlog::BuildLogLine(parts, line);
  const DWORD lineBytes = static_cast<DWORD>(line.size() * sizeof(wchar_t));

  const int batch = 50;  // 50 lines stay far below MaxSize: no rotation inside a fresh sample
  auto ours = [&] {
    return TimePerCall(
        [&] {
          ETWLogging::LogWrite(context, ETWLogging::kSeverityError, kSource, kFunction, kLine, L"%s", kMessage);
        },
        batch);
  };
  auto floor = [&] { return TimePerCall([&] { AppendPlain(floorPath.c_str(), line.data(), lineBytes); }, batch); };

  // A fresh folder: no ring index stored yet, each sample starts from empty files.
  const PairResult fresh = MeasurePair(
      [&] {
        DeleteFilesIn(folder);
        return ours();
      },
      [&] {
        DeleteFileW(floorPath.c_str());
        return floor();
      },
      Samples(61), 2);
  rows.push_back(MakeRow("text entry via `LogWrite`, 80 chars, fresh folder", fresh, "<= 3x", 3.0));

  // Steady state: the ring has turned once, so the index is in the folder's
  // log.ini and every entry reads it. Rotations fall inside the samples.
  DeleteFilesIn(folder);
  Trevalk::CObfuscatedIniReader ini;
  ini.Load(text->FolderIniPath());
  ini.WriteInt(L"Config", L"LastLogIdx", 0);
  const PairResult steady = MeasurePair(
      [&] { return ours(); },
      [&] {
        DeleteFileW(floorPath.c_str());
        return floor();
      },
      Samples(101), 2);
  rows.push_back(MakeRow("text entry via `LogWrite`, 80 chars, ring index in log.ini", steady, "<= 3x", 3.0));
  DeleteFilesIn(folder);
}

RVQ_BENCH_NOINLINE DWORD SendThroughLogVEx(ETWLogging::CETWLogging& logger, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const DWORD result = logger.LogVEx(ETWLogging::kSeverityError, kSource, kFunction, kLine, format, args);
  va_end(args);
  return result;
}

// The floor of an ETW event: the same message formatted into a stack buffer
// of the backend's size.
RVQ_BENCH_NOINLINE int FormatOnStack(const wchar_t* format, ...) {
  wchar_t buffer[ETWLogging::CETWLogging::kMessageChars];
  va_list args;
  va_start(args, format);
  const int n = _vsnwprintf(buffer, ETWLogging::CETWLogging::kMessageChars - 1, format, args);
  va_end(args);
  buffer[ETWLogging::CETWLogging::kMessageChars - 1] = L'\0';
  return n + buffer[0];
}

// The backend's own UTF-8 step (etw_utf8.h), not the system's conversion.
RVQ_BENCH_NOINLINE int ConvertToUtf8(const wchar_t* message) {
  char utf8[3 * 80 + 1];
  return static_cast<int>(ETWLogging::etw::EncodeUtf8(message, 80, utf8)) + utf8[0];
}

void EtwFigure(std::vector<Row>& rows) {
  rvqtest::TraceRecorder recorder;
  recorder.keepEvents = false;
  ETWLogging::CETWLogging logger(recorder);
  if (logger.InitializeEx(nullptr, L"RvqBench", GetModuleHandleW(nullptr), nullptr, nullptr) != ERROR_SUCCESS ||
      logger.Prepare() != ERROR_SUCCESS) {
    rows.push_back(FailedRow("ETW event via `LogVEx`", "backend did not initialise", "<= 2x, 0 allocations"));
    return;
  }
  const int batch = 2000;
  long allocations = 0;
  const int before = recorder.traceCalls;
  int sent = 0;
  const PairResult result = MeasurePair(
      [&] {
        rvqtest::StartCountingAllocations();
        const double t = TimePerCall([&] { SendThroughLogVEx(logger, L"%s", kMessage); }, batch);
        allocations += rvqtest::StopCountingAllocations();
        sent += batch;
        return t;
      },
      [&] { return TimePerCall([&] { g_sink = g_sink + FormatOnStack(L"%s", kMessage); }, batch); }, Samples(101), 3);
  const int delivered = recorder.traceCalls - before;
  Row row = MakeRow("ETW event via `LogVEx`, discarding recorder", result, "<= 2x, 0 allocations", 2.0);
  const bool allSent = delivered == sent;  // warm-up included in both
  row.ratio += ", " + std::to_string(allocations) + " allocations in " + std::to_string(sent) + " events";
  if (allocations != 0 || !allSent) row.verdict = "NO";
  if (!allSent) row.ratio += " (events lost)";
  rows.push_back(row);

  // Where the rest goes: the UTF-8 pass over the message on its own, in
  // the same units (a part of the figure above, not a goal).
  const PairResult conversion = MeasurePair(
      [&] { return TimePerCall([&] { g_sink = g_sink + ConvertToUtf8(kMessage); }, batch); },
      [&] { return TimePerCall([&] { g_sink = g_sink + FormatOnStack(L"%s", kMessage); }, batch); }, Samples(101), 3);
  Row part = MakeRow("  part of it: the UTF-8 conversion alone", conversion, "(informative)", 0);
  part.verdict = "-";
  rows.push_back(part);
}

}  // namespace

int EtwEventProbe(int count) {
  rvqtest::TraceRecorder recorder;
  recorder.keepEvents = false;
  ETWLogging::CETWLogging logger(recorder);
  if (logger.InitializeEx(nullptr, L"RvqBench", GetModuleHandleW(nullptr), nullptr, nullptr) != ERROR_SUCCESS ||
      logger.Prepare() != ERROR_SUCCESS) {
    return 1;
  }
  for (int i = 0; i < count; ++i) SendThroughLogVEx(logger, L"%s", kMessage);
  return recorder.traceCalls == count ? 0 : 1;
}

int TextEntryProbe(const std::string& which, int count) {
  if (which == "etw") return EtwEventProbe(count);
  ETWLogging::SetLogIdentity(nullptr, L"RvqBench", nullptr, nullptr, 1);
  ETWLogging::LogContext* context = ETWLogging::GetLogger();
  auto* text = context ? dynamic_cast<ETWLogging::CLogging*>(context->logger) : nullptr;
  if (!text) return 1;
  // The folder exists and the ring index is stored before the marker.
  ETWLogging::LogWrite(context, ETWLogging::kSeverityError, kSource, kFunction, kLine, L"%s", kMessage);
  Trevalk::CObfuscatedIniReader ini;
  ini.Load(text->FolderIniPath());
  if (which == "text-ini") {
    ini.WriteInt(L"Config", L"LastLogIdx", 0);
  } else {
    DeleteFileW(text->FolderIniPath().c_str());
  }
  const std::wstring floorPath = text->LogFolder() + L"\\floor.bin";
  // Markers a system call trace can find: attribute queries of absent files.
  GetFileAttributesW(L"C:\\rvq-bench-probe-start.marker");
  for (int i = 0; i < count; ++i) {
    if (which == "floor") {
      AppendPlain(floorPath.c_str(), kMessage, sizeof kMessage);
    } else {
      ETWLogging::LogWrite(context, ETWLogging::kSeverityError, kSource, kFunction, kLine, L"%s", kMessage);
    }
  }
  GetFileAttributesW(L"C:\\rvq-bench-probe-end.marker");
  return 0;
}

void LoggingFigures(std::vector<Row>& rows) {
  // The facade with the text writer (mechanism 1), as a product module uses it.
  ETWLogging::SetLogIdentity(nullptr, L"RvqBench", nullptr, nullptr, 1);
  ETWLogging::LogContext* context = ETWLogging::GetLogger();
  auto* text = context ? dynamic_cast<ETWLogging::CLogging*>(context->logger) : nullptr;
  if (!text) {
    rows.push_back(FailedRow("`IsLogEnabled`, disabled severity", "no text logger", "<= 2x"));
  } else {
    SeverityTestFigure(rows, context->logger);
    TextEntryFigures(rows, context, text);
  }
  EtwFigure(rows);
}

}  // namespace rvqbench
