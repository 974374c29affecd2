#include "restart_flag.h"

#include "common/unique_handle.h"

namespace rvqupgd {

LONG WriteRestartFlag() {
  Trevalk::UniqueHKey product;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                nullptr, product.put(), nullptr);
  if (result != ERROR_SUCCESS) return result;

  Trevalk::UniqueHKey dynaInfo;
  result = RegCreateKeyExW(product.get(), kDynaInfoKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           dynaInfo.put(), nullptr);
  product.reset();
  if (result != ERROR_SUCCESS) return result;

  const DWORD restartRequired = 1;
  return RegSetValueExW(dynaInfo.get(), kRestartFlagValue, 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&restartRequired), sizeof restartRequired);
}

}  // namespace rvqupgd
