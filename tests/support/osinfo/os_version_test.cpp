// OS version information: the pure table, parser and probes directly; the
// proxy with stand-in answers for other Windows versions; and the real
// answers under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "osinfo/file_version.h"
#include "osinfo/os_version.h"
#include "test_support.h"

namespace {

using Trevalk::KernelVersion;
using Trevalk::WinOSVersionAPI;
using Trevalk::internal::OSInfoImpl;
using Trevalk::internal::OSInfoProxy;

TEST(ParseProductVersion, GoodAndMalformed) {
  struct Case {
    const wchar_t* text;
    bool ok;
    DWORD major, minor, build, revision;
  } cases[] = {
      {L"10.0.19041.1", true, 10, 0, 19041, 1},
      {L"6.1.7601.17514", true, 6, 1, 7601, 17514},
      {L"10.0", true, 10, 0, 0, 0},
      {L"5", true, 5, 0, 0, 0},
      {L"10.0.19041.1.77", true, 10, 0, 19041, 1},
      {L"10.0.19041.1 (WinBuild.160101.0800)", true, 10, 0, 19041, 1},
      {L"6.3.9600.16384", true, 6, 3, 9600, 16384},
      {L"4294967295.0", true, 4294967295u, 0, 0, 0},
      {L"", false, 0, 0, 0, 0},
      {L"4294967296.0", false, 0, 0, 0, 0},
      {L"x.1", false, 0, 0, 0, 0},
      {L" 10.0", false, 0, 0, 0, 0},
      {L"10..1", false, 0, 0, 0, 0},
      {L"10.", false, 0, 0, 0, 0},
      {L".10", false, 0, 0, 0, 0},
      {L"10.0.-1", false, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    KernelVersion v;
    const bool ok = Trevalk::ParseProductVersion(c.text, v);
    EXPECT_EQ(ok, c.ok) << testing::PrintToString(std::wstring(c.text));
    if (ok && c.ok) {
      EXPECT_EQ(v.major, c.major);
      EXPECT_EQ(v.minor, c.minor);
      EXPECT_EQ(v.build, c.build);
      EXPECT_EQ(v.revision, c.revision);
    }
  }
}

TEST(ClassifyNTVersion, Table) {
  struct Case {
    DWORD major, minor, code, family;
    WORD probeStart;
  } cases[] = {
      {3, 51, 3, 0, 0}, {4, 0, 3, 0, 0},  {5, 0, 4, 0, 4},  {5, 1, 6, 1, 3},   {5, 2, 6, 1, 3},
      {6, 0, 7, 1, 2},  {6, 1, 8, 1, 1},  {6, 2, 9, 1, 0},  {6, 3, 10, 1, 0},  {6, 4, 10, 1, 0},
      {10, 0, 11, 1, 0}, {10, 5, 11, 1, 0}, {7, 0, 12, 1, 0}, {9, 0, 12, 1, 0}, {11, 0, 12, 1, 0},
  };
  for (const auto& c : cases) {
    const auto got = Trevalk::ClassifyNTVersion(c.major, c.minor);
    EXPECT_EQ(got.code, c.code) << c.major << "." << c.minor;
    EXPECT_EQ(got.family, c.family) << c.major << "." << c.minor;
    EXPECT_EQ(got.servicePackProbeStart, c.probeStart) << c.major << "." << c.minor;
  }
}

TEST(ProbeMinorVersion, FindsEveryMinorBelowTheLimit) {
  for (DWORD minor = 0; minor < 110; ++minor) {
    int questions = 0;
    const DWORD found = Trevalk::ProbeMinorVersion(100, [&](DWORD v, BYTE condition) {
      ++questions;
      return condition == VER_LESS ? minor < v : minor == v;
    });
    // The search covers 0..103 (the limit rounded up to whole steps of 8).
    EXPECT_EQ(found, minor < 104 ? minor : 100u) << minor;
    EXPECT_LE(questions, 13 + 3 + 1) << minor;
  }
  EXPECT_EQ(Trevalk::ClassifyNineXMinor(0), 1u);
  EXPECT_EQ(Trevalk::ClassifyNineXMinor(10), 2u);
  EXPECT_EQ(Trevalk::ClassifyNineXMinor(89), 2u);
  EXPECT_EQ(Trevalk::ClassifyNineXMinor(90), 5u);
}

TEST(ProbeServicePack, HighestConfirmedFromTheStart) {
  std::vector<WORD> asked;
  EXPECT_EQ(Trevalk::ProbeServicePack(4, [&](WORD sp) {
              asked.push_back(sp);
              return sp == 2;
            }),
            2);
  EXPECT_EQ(asked, (std::vector<WORD>{4, 3, 2}));
  EXPECT_EQ(Trevalk::ProbeServicePack(3, [](WORD) { return false; }), 0);
  EXPECT_EQ(Trevalk::ProbeServicePack(0, [](WORD) -> bool { throw 1; }), 0);
}

// A Windows of our choosing: answers each VerifyVersionInfoW question from
// the condition that the mask carries for the tested field.
class FakeVersionAPI : public WinOSVersionAPI {
 public:
  DWORD platform = VER_PLATFORM_WIN32_NT;
  DWORD minor = 0;
  WORD servicePack = 0;
  std::atomic<int> calls{0};

  BOOL VerifyVersion(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditionMask) override {
    ++calls;
    if (info->dwOSVersionInfoSize != 284) return FALSE;
    switch (typeMask) {
      case VER_PLATFORMID:
        return Condition(conditionMask, 3) == VER_EQUAL && info->dwPlatformId == platform;
      case VER_SERVICEPACKMAJOR:
        return Condition(conditionMask, 5) == VER_EQUAL && info->wServicePackMajor == servicePack;
      case VER_MINORVERSION:
        switch (Condition(conditionMask, 0)) {
          case VER_LESS: return minor < info->dwMinorVersion;
          case VER_EQUAL: return minor == info->dwMinorVersion;
        }
        return FALSE;
    }
    return FALSE;
  }

 private:
  // VerSetConditionMask keeps three bits per field, in the order of the
  // VER_* type bits.
  static BYTE Condition(DWORDLONG mask, int field) { return static_cast<BYTE>((mask >> (3 * field)) & 7); }
};

// Stands in for kernel32.dll with a fixed product version and counts reads.
class FixedKernelImpl : public OSInfoImpl {
 public:
  explicit FixedKernelImpl(std::wstring productVersion, DWORD delayMs = 0)
      : productVersion_(std::move(productVersion)), delayMs_(delayMs) {}
  std::atomic<int> reads{0};
  std::atomic<int> failuresLeft{0};

  bool ReadKernelVersion(KernelVersion& out) override {
    ++reads;
    if (delayMs_) Sleep(delayMs_);
    if (failuresLeft > 0) {
      --failuresLeft;
      return false;
    }
    return Trevalk::ParseProductVersion(productVersion_, out);
  }

 private:
  std::wstring productVersion_;
  DWORD delayMs_;
};

// Reads the product version of a given file, as the real reader does for
// the System folder's kernel32.dll.
class FileKernelImpl : public OSInfoImpl {
 public:
  explicit FileKernelImpl(std::wstring path) : path_(std::move(path)) {}
  bool ReadKernelVersion(KernelVersion& out) override {
    Trevalk::FileVersionInfo info;
    return info.Load(path_) && Trevalk::ReadProductVersion(info, out);
  }

 private:
  std::wstring path_;
};

struct Answers {
  DWORD code, family, major, minor;
  WORD servicePack;
  bool versionOk;
};

Answers Ask(OSInfoProxy<FakeVersionAPI>& proxy) {
  Answers a{};
  a.code = proxy.GetOSCode();
  a.family = proxy.GetOSFamily();
  a.versionOk = proxy.GetOSVersion(a.major, a.minor, a.servicePack);
  return a;
}

TEST(OSInfoProxy, NTVersionsWithStandInAnswers) {
  struct Case {
    const wchar_t* product;
    WORD confirmedSp;
    Answers expected;
  } cases[] = {
      {L"10.0.19041.1", 0, {11, 1, 10, 0, 0, true}},
      {L"6.1.7601.17514", 1, {8, 1, 6, 1, 1, true}},
      {L"6.1.7601.17514", 0, {8, 1, 6, 1, 0, true}},
      {L"6.3.9600.16384", 0, {10, 1, 6, 3, 0, true}},
      {L"6.0.6002.18005", 2, {7, 1, 6, 0, 2, true}},
      {L"5.1.2600.5512", 3, {6, 1, 5, 1, 3, true}},
      // Service pack 3 on 6.0 is above the probe's start: not found.
      {L"6.0.6002.18005", 3, {7, 1, 6, 0, 0, true}},
      {L"11.0.1.1", 0, {12, 1, 11, 0, 0, false}},
  };
  for (const auto& c : cases) {
    OSInfoProxy<FakeVersionAPI> proxy(std::make_shared<FixedKernelImpl>(c.product));
    proxy.VersionAPI().servicePack = c.confirmedSp;
    const Answers a = Ask(proxy);
    const std::string label = rvqtest::ToUtf8(c.product) + " sp" + std::to_string(c.confirmedSp);
    EXPECT_EQ(a.code, c.expected.code) << label;
    EXPECT_EQ(a.family, c.expected.family) << label;
    EXPECT_EQ(a.major, c.expected.major) << label;
    EXPECT_EQ(a.minor, c.expected.minor) << label;
    EXPECT_EQ(a.servicePack, c.expected.servicePack) << label;
    EXPECT_EQ(a.versionOk, c.expected.versionOk) << label;
  }
}

TEST(OSInfoProxy, KernelVersionAndCodes) {
  OSInfoProxy<FakeVersionAPI> proxy(std::make_shared<FixedKernelImpl>(L"10.0.19041.1"));
  KernelVersion k;
  ASSERT_TRUE(proxy.GetKernelVersion(k));
  EXPECT_EQ(k.major, 10u);
  EXPECT_EQ(k.minor, 0u);
  EXPECT_EQ(k.build, 19041u);
  EXPECT_EQ(k.revision, 1u);
  DWORD code = 0, family = 0;
  EXPECT_TRUE(proxy.GetOSCodes(code, family));
  EXPECT_EQ(code, 11u);
  EXPECT_EQ(family, 1u);
  EXPECT_EQ(Trevalk::QueryOSCode(proxy), 11u);
}

TEST(OSInfoProxy, NineXLineByProbe) {
  struct Case {
    DWORD minor, code;
  } cases[] = {{0, 1}, {10, 2}, {90, 5}};
  for (const auto& c : cases) {
    OSInfoProxy<FakeVersionAPI> proxy(std::make_shared<FixedKernelImpl>(L"4.10.2222.3"));
    proxy.VersionAPI().platform = VER_PLATFORM_WIN32_WINDOWS;
    proxy.VersionAPI().minor = c.minor;
    proxy.VersionAPI().servicePack = 1;  // never probed on this line
    const Answers a = Ask(proxy);
    EXPECT_EQ(a.code, c.code) << c.minor;
    EXPECT_EQ(a.family, 0u);
    EXPECT_EQ(a.major, 4u);
    EXPECT_EQ(a.minor, c.minor);
    EXPECT_EQ(a.servicePack, 0);
    EXPECT_TRUE(a.versionOk);
    DWORD family = 7;
    EXPECT_EQ(Trevalk::QueryOSCode(proxy, &family), c.code);
    EXPECT_EQ(family, 0u);
  }
}

void ExpectDefaults(OSInfoProxy<FakeVersionAPI>& proxy, const std::string& label) {
  DWORD major = 9, minor = 9;
  WORD sp = 9;
  EXPECT_EQ(proxy.GetOSCode(), 0u) << label;
  EXPECT_EQ(proxy.GetOSFamily(), 2u) << label;
  EXPECT_FALSE(proxy.GetOSVersion(major, minor, sp)) << label;
  EXPECT_EQ(major + minor + sp, 0u) << label;
  DWORD code = 9, family = 9;
  EXPECT_FALSE(proxy.GetOSCodes(code, family)) << label;
  EXPECT_EQ(code, 0u) << label;
  EXPECT_EQ(family, 2u) << label;
  KernelVersion k;
  k.major = 9;
  EXPECT_FALSE(proxy.GetKernelVersion(k)) << label;
  EXPECT_EQ(k.major, 0u) << label;
  DWORD queryFamily = 9;
  EXPECT_EQ(Trevalk::QueryOSCode(proxy, &queryFamily), 0u) << label;
  EXPECT_EQ(queryFamily, 0u) << label;
}

TEST(OSInfoProxy, FailuresGiveTheDefaults) {
  {
    OSInfoProxy<FakeVersionAPI> proxy(
        std::make_shared<FileKernelImpl>(rvqtest::BinPath(L"version_no_product.dll")));
    ExpectDefaults(proxy, "no ProductVersion");
  }
  {
    OSInfoProxy<FakeVersionAPI> proxy(std::make_shared<FixedKernelImpl>(L"10.0.19041.1"));
    proxy.VersionAPI().platform = 3;  // neither line
    ExpectDefaults(proxy, "unknown platform");
  }
  {
    OSInfoProxy<FakeVersionAPI> proxy(std::make_shared<FixedKernelImpl>(L"4.10.2222.3"));
    proxy.VersionAPI().platform = VER_PLATFORM_WIN32_WINDOWS;
    proxy.VersionAPI().minor = 104;  // above what the probe searches
    ExpectDefaults(proxy, "9x minor out of range");
  }
}

TEST(OSInfoProxy, FailedComputationIsRetried) {
  auto impl = std::make_shared<FixedKernelImpl>(L"6.3.9600.16384");
  impl->failuresLeft = 1;
  OSInfoProxy<FakeVersionAPI> proxy(impl);
  EXPECT_EQ(proxy.GetOSCode(), 0u);
  EXPECT_EQ(proxy.GetOSCode(), 10u);
  EXPECT_EQ(proxy.GetOSFamily(), 1u);
  EXPECT_EQ(impl->reads.load(), 2);
}

TEST(OSInfoProxy, ConcurrentQueriesComputeOnce) {
  auto impl = std::make_shared<FixedKernelImpl>(L"6.1.7601.17514", 100);
  OSInfoProxy<FakeVersionAPI> proxy(impl);
  proxy.VersionAPI().servicePack = 1;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      DWORD major = 0, minor = 0;
      WORD sp = 0;
      if (proxy.GetOSCode() != 8u || !proxy.GetOSVersion(major, minor, sp) || sp != 1) ++wrong;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(impl->reads.load(), 1);
}

TEST(OSInfoProxy, EveryProxyComputesAnew) {
  auto first = std::make_shared<FixedKernelImpl>(L"10.0.1.1");
  auto second = std::make_shared<FixedKernelImpl>(L"10.0.1.1");
  OSInfoProxy<FakeVersionAPI> a(first), b(second);
  a.GetOSCode();
  a.GetOSCode();
  b.GetOSCode();
  EXPECT_EQ(first->reads.load(), 1);
  EXPECT_EQ(second->reads.load(), 1);
}

TEST(OSInfoProxy, PlatformQuestionsAreNotCached) {
  OSInfoProxy<FakeVersionAPI> proxy(std::make_shared<FixedKernelImpl>(L"10.0.1.1"));
  EXPECT_TRUE(proxy.IsNTPlatform());
  proxy.VersionAPI().platform = VER_PLATFORM_WIN32_WINDOWS;
  EXPECT_FALSE(proxy.IsNTPlatform());
}

TEST(OSVersionUnderWine, RealAnswers) {
  // Wine's kernel32.dll reports 10.0.x.
  EXPECT_EQ(Trevalk::QueryOSCode(), 11u);
  DWORD family = 0;
  Trevalk::QueryOSCode(&family);
  EXPECT_EQ(family, 1u);
  EXPECT_TRUE(Trevalk::IsNTPlatform());
  EXPECT_FALSE(Trevalk::IsWow64());  // a 64-bit process
  OSInfoProxy<WinOSVersionAPI> proxy;
  KernelVersion k;
  ASSERT_TRUE(proxy.GetKernelVersion(k));
  EXPECT_EQ(k.major, 10u);
  DWORD major = 0, minor = 0;
  WORD sp = 9;
  EXPECT_TRUE(proxy.GetOSVersion(major, minor, sp));
  EXPECT_EQ(major, 10u);
  EXPECT_EQ(sp, 0);
  EXPECT_TRUE(proxy.IsNTPlatform());
}

}  // namespace
