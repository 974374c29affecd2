#include "internal_logging.h"

#include <cstdarg>
#include <cstdint>
#include <new>
#include <stdio.h>

namespace Trevalk {
namespace {

// The channel reports its own errors under this source-file literal.
constexpr const wchar_t* kChannelSource = L"Logging\\internal_logging.cpp";
constexpr const wchar_t* kRegisterFunction = L"Trevalk::CLogger::RegisterHandler";
constexpr const wchar_t* kUnregisterFunction = L"Trevalk::CLogger::UnregisterHandler";
constexpr const wchar_t* kOutOfMemoryText = L"General memory-allocation failure in Trevalk logger.";

ILoggingHandler* g_registered = nullptr;

// Trivially destructible and constant-initialised: a late message during
// unload still finds a usable default handler.
CDefaultLoggingHandler g_defaultHandler;

// Handlers are printed by the low 32 bits of their address.
unsigned int HandlerId(const ILoggingHandler* handler) {
  return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(handler) & 0xFFFFFFFFu);
}

const wchar_t* OrEmpty(const wchar_t* s) { return s ? s : L""; }

}  // namespace

bool FormatDefaultHandlerLine(std::wstring& out, int type, const wchar_t* sourceFile, const wchar_t* function,
                              int line, const wchar_t* message) {
  out.clear();
  if (type == kLogTypeNone) return false;
  const wchar_t* format = type == kLogTypeInfo    ? L"%s(%d): [INFO]: [%s]: %s\n"
                          : type == kLogTypeError ? L"%s(%d): [ERROR]: [%s]: %s\n"
                                                  : L"%s(%d): [UNKNOWN]: [%s]: %s\n";
  const int length = _scwprintf(format, OrEmpty(sourceFile), line, OrEmpty(function), OrEmpty(message));
  if (length < 0) return false;
  out.resize(static_cast<size_t>(length) + 1);
  const int written = _snwprintf(&out[0], out.size(), format, OrEmpty(sourceFile), line, OrEmpty(function),
                                 OrEmpty(message));
  out.resize(written < 0 ? 0 : static_cast<size_t>(written));
  return true;
}

int CDefaultLoggingHandler::Log(int type, const wchar_t* sourceFile, const wchar_t* function, int line,
                                const wchar_t* message) {
  std::wstring text;
  if (!FormatDefaultHandlerLine(text, type, sourceFile, function, line, message)) return 0;
  OutputDebugStringW(text.c_str());
  return static_cast<int>(text.size());
}

CDefaultLoggingHandler& DefaultLoggingHandler() { return g_defaultHandler; }

ILoggingHandler* CLogger::RegisteredHandler() { return g_registered; }

DWORD CLogger::RegisterHandler(ILoggingHandler* handler) {
  if (!handler) {
    Report(kLogTypeError, kChannelSource, kRegisterFunction, 62, L"%s: Cannot Register (NULL) handler",
           SystemErrorText(ERROR_INVALID_PARAMETER).c_str());
    return ERROR_INVALID_PARAMETER;
  }
  if (!g_registered || g_registered == handler || g_registered == &g_defaultHandler) {
    g_registered = handler;
    return ERROR_SUCCESS;
  }
  Report(kLogTypeError, kChannelSource, kRegisterFunction, 72,
         L"%s: Registered Logging Handler 0x%08X cannot be replaced with 0x%08X",
         SystemErrorText(ERROR_INVALID_STATE).c_str(), HandlerId(g_registered), HandlerId(handler));
  return ERROR_INVALID_STATE;
}

DWORD CLogger::UnregisterHandler(ILoggingHandler* handler) {
  if (!handler) {
    Report(kLogTypeError, kChannelSource, kUnregisterFunction, 97, L"%s: Cannot Unregister (NULL) handler",
           SystemErrorText(ERROR_INVALID_PARAMETER).c_str());
    return ERROR_INVALID_PARAMETER;
  }
  if (!g_registered) {
    // The complaint goes to the handler that asked to leave.
    g_registered = handler;
    Report(kLogTypeError, kChannelSource, kUnregisterFunction, 107,
           L"%s: Request to Unregister Logging handler 0x%08X, but none are registered",
           SystemErrorText(ERROR_INVALID_STATE).c_str(), HandlerId(handler));
    g_registered = nullptr;
    return ERROR_INVALID_STATE;
  }
  if (g_registered == handler) {
    g_registered = nullptr;
    return ERROR_SUCCESS;
  }
  // Both parties hear of the mismatch; the registered handler stays.
  ILoggingHandler* const registered = g_registered;
  const std::wstring text = SystemErrorText(ERROR_INVALID_STATE);
  const wchar_t* const mismatch =
      L"%s: Failed to Unregister Logging handler (requested handler 0x%08X != registered handler 0x%08X)";
  Report(kLogTypeError, kChannelSource, kUnregisterFunction, 115, mismatch, text.c_str(), HandlerId(handler),
         HandlerId(registered));
  g_registered = handler;
  Report(kLogTypeError, kChannelSource, kUnregisterFunction, 120, mismatch, text.c_str(), HandlerId(handler),
         HandlerId(handler));
  g_registered = registered;
  return ERROR_INVALID_STATE;
}

DWORD CLogger::Report(int type, const wchar_t* sourceFile, const wchar_t* function, int line,
                      const wchar_t* format, ...) {
  if (!g_registered) RegisterHandler(&g_defaultHandler);
  ILoggingHandler* const handler = g_registered;

  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  int length = format ? _vscwprintf(format, measure) : 0;
  va_end(measure);
  if (length < 0) length = 0;  // a rejected format sends the empty message

  wchar_t* buffer = new (std::nothrow) wchar_t[static_cast<size_t>(length) + 1];
  if (!buffer) {
    va_end(args);
    return static_cast<DWORD>(handler->Log(kLogTypeError, sourceFile, function, line, kOutOfMemoryText));
  }
  buffer[0] = L'\0';
  if (length > 0) {
    const int written = _vsnwprintf(buffer, static_cast<size_t>(length), format, args);
    buffer[(written < 0 || written > length) ? length : written] = L'\0';
  }
  va_end(args);
  handler->Log(type, sourceFile, function, line, buffer);
  delete[] buffer;
  return ERROR_SUCCESS;
}

}  // namespace Trevalk
