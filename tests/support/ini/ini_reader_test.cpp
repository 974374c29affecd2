// CBaseIniReader / CObfuscatedIniReader with real files under Wine; the
// writes go through Wine's own private-profile functions.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codec/codec_errors.h"
#include "codec/ini_value_codec.h"
#include "codec/record_codec.h"
#include "ini/ini_reader.h"
#include "test_support.h"

namespace {

using Trevalk::CObfuscatedIniReader;
using Trevalk::IniKeyValues;
namespace codec = Trevalk::codec;

// Bytes as the private-profile struct format writes them: upper-case hex
// digits, then the byte sum modulo 256 as two more.
std::string StructText(const uint8_t* data, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  unsigned sum = 0;
  for (size_t k = 0; k < n; ++k) {
    out += digits[data[k] >> 4];
    out += digits[data[k] & 15];
    sum += data[k];
  }
  out += digits[(sum >> 4) & 15];
  out += digits[sum & 15];
  return out;
}

struct Lines {
  std::string header;   // "_Name=..."
  std::string payload;  // "Name=..."
};

Lines Obfuscated(const std::string& name, uint32_t type, const std::string& payload) {
  uint8_t header[36];
  std::vector<uint8_t> scrambled(payload.size());
  EXPECT_EQ(codec::kOk, codec::EncodeIniValue(type, reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                                              header, scrambled.data()));
  return {"_" + name + "=" + StructText(header, 36), name + "=" + StructText(scrambled.data(), scrambled.size())};
}

Lines ObfuscatedInt(const std::string& name, int value) {
  std::string bytes(4, '\0');
  codec::PutLe32(reinterpret_cast<uint8_t*>(&bytes[0]), static_cast<uint32_t>(value));
  return Obfuscated(name, codec::kIniTypeInteger, bytes);
}

class IniReaderTest : public ::testing::Test {
 protected:
  std::wstring Write(const std::string& text) {
    const std::wstring path = dir_.Child(L"log.ini");
    EXPECT_TRUE(rvqtest::WriteFileBytes(path, text));
    return path;
  }
  std::vector<std::string> FileLines(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return rvqtest::SplitLines(all.str());
  }
  rvqtest::ScratchDir dir_{L"rvqini"};
};

TEST_F(IniReaderTest, ObfuscatedIntegerInEitherLineOrder) {
  const Lines v = ObfuscatedInt("MaxSize", 1048576);
  for (bool headerFirst : {true, false}) {
    const std::string body = headerFirst ? v.header + "\n" + v.payload : v.payload + "\r\n" + v.header;
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(Write("[Config]\n" + body + "\n")));
    int value = 0;
    EXPECT_TRUE(reader.GetInt(L"Config", L"MaxSize", value)) << headerFirst;
    EXPECT_EQ(1048576, value);
    std::wstring text;
    EXPECT_TRUE(reader.GetString(L"Config", L"MaxSize", text));
    EXPECT_EQ(L"1048576", text);
    EXPECT_FALSE(reader.GetString(L"Config", L"_MaxSize", text)) << "the header is no value of its own";
  }
}

TEST_F(IniReaderTest, PlainValuesAreInvisibleInTheDefaultMode) {
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(Write("[Config]\nMaxSize=1048576\n")));
  int value = 5;
  EXPECT_FALSE(reader.GetInt(L"Config", L"MaxSize", value));
  EXPECT_EQ(5, value);
  IniKeyValues all;
  EXPECT_TRUE(reader.GetSection(L"Config", all));
  EXPECT_EQ(L"1048576", all[L"MaxSize"]);
  reader.SetObfuscatedOnly(false);
  EXPECT_TRUE(reader.GetInt(L"Config", L"MaxSize", value));
  EXPECT_EQ(1048576, value);
}

TEST_F(IniReaderTest, HeaderLookalikesAreOrdinaryValues) {
  const std::string header = ObfuscatedInt("X", 1).header.substr(3);  // the 74 characters
  ASSERT_EQ(74u, header.size());
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(Write("[S]\nNoUnderscore=" + header + "\n_Short=" + header.substr(0, 73) +
                                "\n_Long=" + header + "0\n")));
  IniKeyValues all;
  ASSERT_TRUE(reader.GetSection(L"S", all));
  EXPECT_EQ(3u, all.size());
  EXPECT_EQ(73u, all[L"_Short"].size());
  EXPECT_EQ(75u, all[L"_Long"].size());
}

TEST_F(IniReaderTest, FirstPlainOccurrenceAndLastHeaderWin) {
  const Lines one = ObfuscatedInt("Enable", 1);
  const Lines two = ObfuscatedInt("Enable", 2);
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(Write("[A]\nEnable=first\nEnable=second\n"
                                "[B]\n" + one.header + "\n" + two.header + "\n" + two.payload + "\n" +
                                "[C]\n" + two.header + "\n" + one.header + "\n" + two.payload + "\n")));
  IniKeyValues a;
  ASSERT_TRUE(reader.GetSection(L"A", a));
  EXPECT_EQ(L"first", a[L"Enable"]);
  int value = 0;
  EXPECT_TRUE(reader.GetInt(L"B", L"Enable", value));
  EXPECT_EQ(2, value);
  EXPECT_FALSE(reader.GetInt(L"C", L"Enable", value)) << "the last header belongs to another payload";
}

TEST_F(IniReaderTest, SectionNamesAreExact) {
  const Lines v = ObfuscatedInt("N", 7);
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(Write("[ Config ]\n" + v.header + "\n" + v.payload + "\n[config]\n" + v.header + "\n" +
                                v.payload + "\n")));
  int value = 0;
  EXPECT_FALSE(reader.GetInt(L"Config", L"N", value));
  EXPECT_TRUE(reader.GetInt(L" Config ", L"N", value));
  EXPECT_TRUE(reader.GetInt(L"config", L"N", value));
  EXPECT_FALSE(reader.GetInt(L"CONFIG", L"N", value));
  EXPECT_FALSE(reader.GetInt(L"config", L"n", value));
}

TEST_F(IniReaderTest, OneChangedHexDigitHidesTheValue) {
  const Lines v = Obfuscated("Folder", codec::kIniTypeText, "C:\\Logs");
  for (size_t at = v.payload.find('=') + 1; at + 2 < v.payload.size(); ++at) {  // checksum digits excluded
    std::string bad = v.payload;
    bad[at] = bad[at] == '0' ? '1' : '0';
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(Write("[P]\n" + v.header + "\n" + bad + "\n")));
    std::wstring text;
    EXPECT_FALSE(reader.GetString(L"P", L"Folder", text)) << bad;
  }
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(Write("[P]\n" + v.header + "\n" + v.payload + "\n")));
  std::wstring text;
  EXPECT_TRUE(reader.GetString(L"P", L"Folder", text));
  EXPECT_EQ(L"C:\\Logs", text);
}

TEST_F(IniReaderTest, LineSyntax) {
  const Lines v = ObfuscatedInt("K", 3);
  const std::string longLine = "Long=" + std::string(1100, 'x');
  CObfuscatedIniReader reader;
  reader.SetObfuscatedOnly(false);
  ASSERT_TRUE(reader.Load(Write("Top = before any section \n"
                                "; comment\n"
                                "   \n"
                                "no equals sign\n"
                                "[S]\n"
                                "[]\n"
                                "  key  =  spaced value  \n"
                                "empty=\n"
                                "a=b=c\n" +
                                longLine + "\n" +
                                "  " + v.header + "  \n" + v.payload + "\n")));
  std::wstring text;
  EXPECT_TRUE(reader.GetString(L"", L"Top", text));
  EXPECT_EQ(L"before any section", text);
  EXPECT_TRUE(reader.GetString(L"S", L"key", text));
  EXPECT_EQ(L"spaced value", text);
  EXPECT_TRUE(reader.GetString(L"S", L"empty", text));
  EXPECT_EQ(L"", text);
  EXPECT_TRUE(reader.GetString(L"S", L"a", text));
  EXPECT_EQ(L"b=c", text);
  // The line of 1105 bytes arrives as a 1023-byte piece and the rest.
  EXPECT_TRUE(reader.GetString(L"S", L"Long", text));
  EXPECT_EQ(1023u - 5, text.size());
  int value = 0;
  EXPECT_TRUE(reader.GetInt(L"S", L"K", value)) << "[] keeps the current section";
  EXPECT_EQ(3, value);
  EXPECT_FALSE(reader.GetString(L"SK", L"", text)) << "a name is split at its first dot";
}

TEST_F(IniReaderTest, WriteIntCreatesTheFileWithWinesStructLines) {
  const std::wstring path = dir_.Child(L"new.ini");
  CObfuscatedIniReader writer;
  EXPECT_FALSE(writer.Load(path)) << "missing file";
  EXPECT_EQ(path, writer.Path());
  ASSERT_TRUE(writer.WriteInt(L"Config", L"LastLogIdx", 2));
  int value = 0;
  EXPECT_TRUE(writer.GetInt(L"Config", L"LastLogIdx", value)) << "kept in memory";
  EXPECT_EQ(2, value);

  // Lines computed independently of this code (Python hashlib and the
  // cipher's rules), checksum digits included.
  const std::vector<std::string> expected = {
      "[Config]",
      "_LastLogIdx=4258524701000000040000000400000001000000B15FD8D042BA1D0525E718112C08094ACF",
      "LastLogIdx=A2E2437D44",
  };
  std::vector<std::string> lines;
  for (const std::string& line : FileLines(path)) {
    if (!line.empty()) lines.push_back(line);
  }
  EXPECT_EQ(expected, lines);
  // Wine reads the struct back, checking the checksum.
  uint8_t header[36];
  EXPECT_TRUE(GetPrivateProfileStructW(L"Config", L"_LastLogIdx", header, 36, path.c_str()));
  EXPECT_EQ(0, memcmp("BXRG", header, 4));

  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(path));
  EXPECT_TRUE(reader.GetInt(L"Config", L"LastLogIdx", value));
  EXPECT_EQ(2, value);
}

TEST_F(IniReaderTest, StringWritesRoundTripAndReplace) {
  const std::wstring path = dir_.Child(L"text.ini");
  {
    CObfuscatedIniReader writer;
    writer.Load(path);
    ASSERT_TRUE(writer.WriteString(L"Paths", L"Folder", L"C:\\Caf\u00e9\\Logs"));
    ASSERT_TRUE(writer.WriteInt(L"Paths", L"Negative", -12));
    ASSERT_TRUE(writer.WriteString(L"Paths", L"Folder", L"D:\\Other"));
    EXPECT_FALSE(writer.WriteString(L"Paths", L"Empty", L"")) << "the cipher refuses an empty payload";
    // Code page 1252 under Wine has no such characters: they would be
    // stored as "?" while the reader kept the original text.
    EXPECT_FALSE(writer.WriteString(L"Paths", L"Folder", L"C:\\\u540d\u524d"));
    EXPECT_FALSE(writer.WriteString(L"Paths", L"Lost", L"\u540d"));
    std::wstring kept;
    EXPECT_TRUE(writer.GetString(L"Paths", L"Folder", kept));
    EXPECT_EQ(L"D:\\Other", kept);
    EXPECT_FALSE(writer.GetString(L"Paths", L"Lost", kept));
  }
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(path));
  std::wstring text;
  int value = 0;
  EXPECT_TRUE(reader.GetString(L"Paths", L"Folder", text));
  EXPECT_EQ(L"D:\\Other", text);
  EXPECT_TRUE(reader.GetInt(L"Paths", L"Negative", value));
  EXPECT_EQ(-12, value);
  ASSERT_TRUE(reader.WriteString(L"Paths", L"Folder", L"C:\\Caf\u00e9"));
  CObfuscatedIniReader again;
  ASSERT_TRUE(again.Load(path));
  EXPECT_TRUE(again.GetString(L"Paths", L"Folder", text));
  EXPECT_EQ(L"C:\\Caf\u00e9", text);
}

TEST_F(IniReaderTest, PlainBaseWriteAndPathRules) {
  const std::wstring path = dir_.Child(L"plain.ini");
  CObfuscatedIniReader reader;
  EXPECT_FALSE(reader.WriteInt(L"S", L"K", 1)) << "no path before Load";
  EXPECT_FALSE(reader.WriteString(L"S", L"K", L"x")) << "no path before Load";
  EXPECT_FALSE(reader.Load(L""));
  reader.Load(path);
  ASSERT_TRUE(reader.CBaseIniReader::WriteString(L"S", L"K", L"plain"));
  EXPECT_EQ((std::vector<std::string>{"[S]", "K=plain"}), FileLines(path));
  std::wstring text;
  EXPECT_FALSE(reader.GetString(L"S", L"K", text)) << "plain, so invisible";
  reader.SetObfuscatedOnly(false);
  EXPECT_TRUE(reader.GetString(L"S", L"K", text));
  EXPECT_EQ(L"plain", text);

  // A folder cannot be opened as a file: the path is dropped and writes fail.
  CObfuscatedIniReader folder;
  EXPECT_FALSE(folder.Load(dir_.path()));
  EXPECT_EQ(L"", folder.Path());
  EXPECT_FALSE(folder.WriteInt(L"S", L"K", 1));
}

TEST_F(IniReaderTest, ReloadReflectsOnlyTheNewFile) {
  const Lines a = ObfuscatedInt("A", 1);
  const Lines b = ObfuscatedInt("B", 2);
  const std::wstring first = dir_.Child(L"first.ini");
  const std::wstring second = dir_.Child(L"second.ini");
  ASSERT_TRUE(rvqtest::WriteFileBytes(first, "[S]\n" + a.header + "\n" + a.payload + "\n[T]\n"));
  ASSERT_TRUE(rvqtest::WriteFileBytes(second, b.header + "\n" + b.payload + "\n"));
  CObfuscatedIniReader reader;
  ASSERT_TRUE(reader.Load(first));
  int value = 0;
  EXPECT_TRUE(reader.GetInt(L"S", L"A", value));
  ASSERT_TRUE(reader.Load(second));
  EXPECT_FALSE(reader.GetInt(L"S", L"A", value));
  EXPECT_FALSE(reader.GetInt(L"T", L"B", value)) << "no section carried over from the first file";
  EXPECT_TRUE(reader.GetInt(L"", L"B", value));
  EXPECT_EQ(2, value);
}

}  // namespace
