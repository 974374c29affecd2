#include "default_builder.h"

#include <memory>
#include <new>

#include "builder.h"
#include "etw_logging.h"
#include "registry/obfuscated_reg_key.h"
#include "registry/reg_key.h"
#include "text_logging.h"

namespace ETWLogging {
namespace {

constexpr DWORD kTextMechanism = 1;
constexpr const wchar_t* kLoggingKey = L"SOFTWARE\\Bryxen\\Logging";
constexpr const wchar_t* kMechanismValue = L"Logging Mechanism";

void DestroyDefaultBuilder(CLogBuilderIf* builder) { delete static_cast<CDefaultLogBuilder*>(builder); }

}  // namespace

DWORD CDefaultLogBuilder::ChooseMechanism(DWORD mechanism, Trevalk::CRegKey* configKey) {
  if (mechanism == kTextMechanism) return kTextMechanism;
  DWORD chosen = 0;
  if (configKey) {
    if (configKey->QueryDWORDValue(kMechanismValue, chosen) != ERROR_SUCCESS) chosen = 0;
    return chosen;
  }
  // Only an obfuscated record of type REG_DWORD reads successfully here.
  Trevalk::CObfuscatedRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, kLoggingKey, KEY_QUERY_VALUE) != ERROR_SUCCESS) return 0;
  if (key.QueryDWORDValue(kMechanismValue, chosen) != ERROR_SUCCESS) chosen = 0;
  key.Close();
  return chosen;
}

bool CDefaultLogBuilder::Build(const wchar_t* logGroup, HMODULE module, const wchar_t* logHost, DWORD mechanism,
                               CLoggingIf** logger, Trevalk::CRegKey* configKey) {
  return BuildEx(nullptr, logGroup, module, logHost, mechanism, logger, configKey);
}

bool CDefaultLogBuilder::BuildEx(const wchar_t* appKey, const wchar_t* logGroup, HMODULE module,
                                 const wchar_t* logHost, DWORD mechanism, CLoggingIf** logger,
                                 Trevalk::CRegKey* configKey) {
  if (!logger || *logger) return false;
  if ((logGroup && !*logGroup) || (logHost && !*logHost)) return false;
  const DWORD chosen = ChooseMechanism(mechanism, configKey);

  // Owned until handed over: an initialisation that throws deletes it.
  std::unique_ptr<CLoggingIf> built;
  if (chosen == kTextMechanism) {
    built.reset(new (std::nothrow) CLogging());
  } else {
    built.reset(new (std::nothrow) CETWLogging());
  }
  if (!built) return false;

  DWORD result = ERROR_INVALID_FUNCTION;
  if (auto* extended = dynamic_cast<CLoggingIf_ex*>(built.get())) {
    result = extended->InitializeEx(appKey, logGroup, module, logHost, nullptr);
  }
  if (result != ERROR_SUCCESS) result = built->Initialize(logGroup, module, logHost, nullptr);
  if (result != ERROR_SUCCESS) return false;
  built->AddRef();
  *logger = built.release();
  return true;
}

namespace internal {

OwnedLogBuilder CreateDefaultLogBuilder() {
  OwnedLogBuilder owned;
  owned.builder = new (std::nothrow) CDefaultLogBuilder();
  if (owned.builder) owned.destroy = &DestroyDefaultBuilder;
  return owned;
}

}  // namespace internal
}  // namespace ETWLogging
