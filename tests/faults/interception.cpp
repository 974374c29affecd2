// Import-table patching and the run-time stubs; see interception.h.
#include "interception.h"

#include <windows.h>

#include <atomic>
#include <cstring>

namespace rvqfaults {
namespace {

constexpr unsigned kMaxStubs = 1024;
constexpr unsigned long kMaxRecorded = 200000;
constexpr size_t kStubBytes = 256;

struct Stub {
  const FailureRule* rule;
  void* real;
  unsigned char* code;
};

// Fixed tables: the stubs run inside the product's calls, under its
// allocation failures, so nothing here allocates after set-up.
Stub g_stubs[kMaxStubs];
std::atomic<unsigned> g_stubCount{0};
unsigned char* g_code = nullptr;
CRITICAL_SECTION g_stubLock;

std::atomic<bool> g_armed{false};
Mode g_mode = Mode::kCount;
unsigned long g_n = 0;
std::atomic<unsigned long> g_counted{0};
std::atomic<unsigned long> g_failed{0};
CallSite g_recorded[kMaxRecorded];

std::uintptr_t g_base = 0, g_end = 0;
using GetProcAddressFn = FARPROC(WINAPI*)(HMODULE, LPCSTR);
GetProcAddressFn g_realGetProcAddress = nullptr;
const FailureRule* g_getProcAddressRule = nullptr;

// Names the delay-load helper binds: its GetProcAddress calls are the
// loader's work, not the code's, and are passed through (a failure there
// ends in the helper's own exception by design).
const char* g_delayNames[512];
unsigned g_delayNameCount = 0;

bool IsDelayName(const char* name) {
  for (unsigned i = 0; i < g_delayNameCount; ++i) {
    if (std::strcmp(g_delayNames[i], name) == 0) return true;
  }
  return false;
}

// Decides one counted call. Touches no system function on the passing path,
// so the caller's last error reaches the real function unchanged.
extern "C" int RigDecide(unsigned index, void* returnAddress) {
  if (!g_armed.load(std::memory_order_relaxed)) return 0;
  const unsigned long n = g_counted.fetch_add(1) + 1;
  const std::uintptr_t site = reinterpret_cast<std::uintptr_t>(returnAddress);
  if (n <= kMaxRecorded) {
    g_recorded[n - 1] = CallSite{g_stubs[index].rule->name, site >= g_base && site < g_end ? site - g_base : site};
  }
  const bool fail = (g_mode == Mode::kOnce && n == g_n) || (g_mode == Mode::kFrom && n >= g_n);
  if (!fail) return 0;
  g_failed.fetch_add(1);
  SetLastError(g_stubs[index].rule->lastError);
  return 1;
}

void Put(unsigned char*& p, std::initializer_list<unsigned char> bytes) {
  for (unsigned char b : bytes) *p++ = b;
}
void Put64(unsigned char*& p, std::uint64_t value) {
  std::memcpy(p, &value, sizeof value);
  p += sizeof value;
}

// Writes the stub of g_stubs[index]:
//   sub rsp,0x88; save rcx,rdx,r8,r9 at +0x20.., xmm0-3 at +0x40..
//   mov ecx,index; mov rdx,[rsp+0x88] (the caller's return address)
//   mov rax,RigDecide; call rax; test eax,eax; jnz fail
//   restore; add rsp,0x88; mov rax,real; jmp rax
//   fail: [clear the out-pointer]; mov rax,value; add rsp,0x88; ret
// 0x88 keeps rsp 16-byte aligned at the call (entry rsp is 8 mod 16).
void WriteStub(unsigned index) {
  Stub& stub = g_stubs[index];
  unsigned char* p = stub.code;
  Put(p, {0x48, 0x81, 0xEC, 0x88, 0x00, 0x00, 0x00});
  Put(p, {0x48, 0x89, 0x4C, 0x24, 0x20, 0x48, 0x89, 0x54, 0x24, 0x28});
  Put(p, {0x4C, 0x89, 0x44, 0x24, 0x30, 0x4C, 0x89, 0x4C, 0x24, 0x38});
  Put(p, {0xF3, 0x0F, 0x7F, 0x44, 0x24, 0x40, 0xF3, 0x0F, 0x7F, 0x4C, 0x24, 0x50});
  Put(p, {0xF3, 0x0F, 0x7F, 0x54, 0x24, 0x60, 0xF3, 0x0F, 0x7F, 0x5C, 0x24, 0x70});
  Put(p, {0xB9});
  std::memcpy(p, &index, 4);
  p += 4;
  Put(p, {0x48, 0x8B, 0x94, 0x24, 0x88, 0x00, 0x00, 0x00});
  Put(p, {0x48, 0xB8});
  Put64(p, reinterpret_cast<std::uint64_t>(&RigDecide));
  Put(p, {0xFF, 0xD0, 0x85, 0xC0, 0x75});
  unsigned char* jump = p++;
  unsigned char* passStart = p;
  Put(p, {0x48, 0x8B, 0x4C, 0x24, 0x20, 0x48, 0x8B, 0x54, 0x24, 0x28});
  Put(p, {0x4C, 0x8B, 0x44, 0x24, 0x30, 0x4C, 0x8B, 0x4C, 0x24, 0x38});
  Put(p, {0xF3, 0x0F, 0x6F, 0x44, 0x24, 0x40, 0xF3, 0x0F, 0x6F, 0x4C, 0x24, 0x50});
  Put(p, {0xF3, 0x0F, 0x6F, 0x54, 0x24, 0x60, 0xF3, 0x0F, 0x6F, 0x5C, 0x24, 0x70});
  Put(p, {0x48, 0x81, 0xC4, 0x88, 0x00, 0x00, 0x00, 0x48, 0xB8});
  Put64(p, reinterpret_cast<std::uint64_t>(stub.real));
  Put(p, {0xFF, 0xE0});
  *jump = static_cast<unsigned char>(p - passStart);
  const int clear = stub.rule->clearArg;
  if (clear >= 0) {
    // mov rax,[rsp+d]; test rax,rax; jz +7; mov qword [rax],0
    const std::uint32_t disp = clear < 4 ? 0x20 + 8 * clear : 0x88 + 8 + 8 * clear;
    Put(p, {0x48, 0x8B, 0x84, 0x24});
    std::memcpy(p, &disp, 4);
    p += 4;
    Put(p, {0x48, 0x85, 0xC0, 0x74, 0x07, 0x48, 0xC7, 0x00, 0x00, 0x00, 0x00, 0x00});
  }
  Put(p, {0x48, 0xB8});
  Put64(p, static_cast<std::uint64_t>(stub.rule->value));
  Put(p, {0x48, 0x81, 0xC4, 0x88, 0x00, 0x00, 0x00, 0xC3});
}

// The stub for `rule` in front of `real`, made on first use.
void* StubFor(const FailureRule* rule, void* real) {
  EnterCriticalSection(&g_stubLock);
  void* found = nullptr;
  const unsigned count = g_stubCount.load();
  for (unsigned i = 0; i < count && !found; ++i) {
    if (g_stubs[i].rule == rule && g_stubs[i].real == real) found = g_stubs[i].code;
  }
  if (!found && count < kMaxStubs) {
    g_stubs[count] = Stub{rule, real, g_code + count * kStubBytes};
    WriteStub(count);
    FlushInstructionCache(GetCurrentProcess(), g_stubs[count].code, kStubBytes);
    g_stubCount.store(count + 1);
    found = g_stubs[count].code;
  }
  LeaveCriticalSection(&g_stubLock);
  return found ? found : real;
}

// The patched module's GetProcAddress: counted and failed as a fallible
// function when the code itself binds (not the delay-load helper), and the
// address of a fallible function comes back as its stub.
FARPROC WINAPI RigGetProcAddress(HMODULE module, LPCSTR name) {
  const bool byName = !IS_INTRESOURCE(name);
  if (!(byName && IsDelayName(name))) {
    // Counted and recorded under GetProcAddress's own stub index, with the
    // code's call site.
    static unsigned index = ~0u;
    if (index == ~0u) {
      void* code = StubFor(g_getProcAddressRule, reinterpret_cast<void*>(g_realGetProcAddress));
      for (unsigned i = 0; i < g_stubCount.load(); ++i) {
        if (g_stubs[i].code == code) index = i;
      }
    }
    if (index != ~0u && RigDecide(index, __builtin_return_address(0))) return nullptr;
  }
  FARPROC real = g_realGetProcAddress(module, name);
  if (!real || !byName) return real;
  const FailureRule* rule = FindRule(name);
  if (!rule || rule == g_getProcAddressRule) return real;
  return reinterpret_cast<FARPROC>(StubFor(rule, reinterpret_cast<void*>(real)));
}

void Append(std::string* text, const char* name) {
  if (text->find(std::string(" ") + name + " ") != std::string::npos) return;
  if (text->empty()) *text = " ";
  *text += name;
  *text += " ";
}

bool Init() {
  if (g_code) return true;
  g_code = static_cast<unsigned char*>(
      VirtualAlloc(nullptr, kMaxStubs * kStubBytes, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  if (!g_code) return false;
  InitializeCriticalSection(&g_stubLock);
  g_realGetProcAddress = &GetProcAddress;
  g_getProcAddressRule = FindRule("GetProcAddress");
  return g_getProcAddressRule != nullptr;
}

void Write(void** slot, void* value) {
  DWORD old = 0;
  VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
  *slot = value;
  VirtualProtect(slot, sizeof(void*), old, &old);
}

// One imported name: its IAT slot gets the stub, the rig's GetProcAddress,
// or stays as bound.
void PatchSlot(const char* name, void** slot, std::string* unclassified) {
  if (std::strcmp(name, "GetProcAddress") == 0) {
    Write(slot, reinterpret_cast<void*>(&RigGetProcAddress));
    return;
  }
  if (const FailureRule* rule = FindRule(name)) {
    Write(slot, StubFor(rule, *slot));
  } else if (!IsInfallible(name)) {
    Append(unclassified, name);
  }
}

}  // namespace

void Configure(Mode mode, unsigned long n) {
  g_mode = mode;
  g_n = n;
}

void Arm(bool on) { g_armed.store(on); }

bool PatchModule(HMODULE module, std::string* unclassified) {
  if (!Init()) return false;
  auto* base = reinterpret_cast<unsigned char*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  g_base = reinterpret_cast<std::uintptr_t>(base);
  g_end = g_base + nt->OptionalHeader.SizeOfImage;
  const IMAGE_DATA_DIRECTORY& delay = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];

  // Delay-load names first: RigGetProcAddress needs them.
  if (delay.VirtualAddress) {
    for (auto* d = reinterpret_cast<const IMAGE_DELAYLOAD_DESCRIPTOR*>(base + delay.VirtualAddress); d->DllNameRVA;
         ++d) {
      auto* names = reinterpret_cast<const IMAGE_THUNK_DATA64*>(base + d->ImportNameTableRVA);
      auto* slots = reinterpret_cast<void**>(base + d->ImportAddressTableRVA);
      for (; names->u1.AddressOfData; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
        const char* name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
        if (g_delayNameCount < sizeof g_delayNames / sizeof g_delayNames[0]) g_delayNames[g_delayNameCount++] = name;
        // A slot bound already (during the library's start-up) holds the
        // real address; an unbound one still points at the module's thunk.
        const auto bound = reinterpret_cast<std::uintptr_t>(*slots);
        if (bound < g_base || bound >= g_end) PatchSlot(name, slots, unclassified);
        else if (!FindRule(name) && !IsInfallible(name)) Append(unclassified, name);
      }
    }
  }
  if (imports.VirtualAddress) {
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d) {
      auto* names = reinterpret_cast<const IMAGE_THUNK_DATA64*>(
          base + (d->OriginalFirstThunk ? d->OriginalFirstThunk : d->FirstThunk));
      auto* slots = reinterpret_cast<void**>(base + d->FirstThunk);
      for (; names->u1.AddressOfData; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
        PatchSlot(reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name, slots,
                  unclassified);
      }
    }
  }
  return true;
}

unsigned long CountedCalls() { return g_counted.load(); }
unsigned long FailedCalls() { return g_failed.load(); }
unsigned long RecordedCalls() {
  const unsigned long n = g_counted.load();
  return n < kMaxRecorded ? n : kMaxRecorded;
}
CallSite RecordedCall(unsigned long i) { return g_recorded[i]; }

}  // namespace rvqfaults
