// CDefaultLogBuilder: the builder the logging context uses. It chooses, once
// per process, between the text log files (CLogging) and the ETW backend
// (CETWLogging) and builds and initialises the chosen logger. The text files
// are chosen only by a mechanism of 1 in the logging identity or by an
// obfuscated REG_DWORD 1 in HKLM\SOFTWARE\Bryxen\Logging "Logging
// Mechanism"; anything else (a plain value, another type, a damaged record,
// no value, no key) gives the ETW backend. It never falls back from one kind
// to the other.
#pragma once

#include "logging_if.h"

namespace ETWLogging {

class CDefaultLogBuilder final : public CLogBuilderIf_ex {
 public:
  // BuildEx without an application key.
  bool Build(const wchar_t* logGroup, HMODULE module, const wchar_t* logHost, DWORD mechanism, CLoggingIf** logger,
             Trevalk::CRegKey* configKey) override;
  // False, with *logger unchanged, when *logger is already set, for an empty
  // (but given) group or host, or when the chosen logger cannot be
  // constructed or initialised. configKey, when given, is read (plain DWORD)
  // instead of the obfuscated default key.
  bool BuildEx(const wchar_t* appKey, const wchar_t* logGroup, HMODULE module, const wchar_t* logHost, DWORD mechanism,
               CLoggingIf** logger, Trevalk::CRegKey* configKey) override;

  // 1 selects the text log files.
  static DWORD ChooseMechanism(DWORD mechanism, Trevalk::CRegKey* configKey);
};

}  // namespace ETWLogging
