#include "ucIniFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvane {
namespace {

using namespace std::string_literals;

struct TReadCase {
  const char* Name;
  std::string Text;
  const char* Section;
  const char* Key;
  std::string Expected;
};

class IniReaderRead : public ::testing::TestWithParam<TReadCase> {};

TEST_P(IniReaderRead, FindsTheValueByTheFileRules) {
  const TReadCase& c = GetParam();
  EXPECT_EQ(TIniReader(c.Text).ReadString(c.Section, c.Key, "<default>"), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniReaderRead,
    ::testing::Values(
        TReadCase{"SectionAndKeyIgnoreCase", "[configuration]\r\nvardexport=8080\r\n", "Configuration", "VardexPort",
                  "8080"},
        TReadCase{"BlanksAroundKeyAndValueTrimmed", "[S]\r\n \t Key \t= \t value with  inner blanks \t\r\n", "S",
                  "Key", "value with  inner blanks"},
        TReadCase{"ValueIsEverythingAfterTheFirstEquals", "[S]\nKey=a=b==c\n", "S", "Key", "a=b==c"},
        TReadCase{"FirstOccurrenceOfAKeyWins", "[S]\nKey=first\nKEY=second\n", "S", "key", "first"},
        TReadCase{"FirstSectionOfANameWins", "[S]\nA=1\n[s]\nA=2\nB=3\n", "S", "B", "<default>"},
        TReadCase{"DoubleQuotesStripped", "[S]\nKey=\"quoted value\"\n", "S", "Key", "quoted value"},
        TReadCase{"SingleQuotesStripped", "[S]\nKey= 'quoted' \n", "S", "Key", "quoted"},
        TReadCase{"OnlyOnePairStripped", "[S]\nKey=\"\"x\"\"\n", "S", "Key", "\"x\""},
        TReadCase{"MismatchedQuotesKept", "[S]\nKey=\"abc'\n", "S", "Key", "\"abc'"},
        TReadCase{"LoneQuoteKept", "[S]\nKey=\"\n", "S", "Key", "\""},
        TReadCase{"EmptyValueIsNotTheDefault", "[S]\nKey=\n", "S", "Key", ""},
        TReadCase{"LongValueCutTo2047", "[S]\nKey=" + std::string(5000, 'v') + "\n", "S", "Key",
                  std::string(2047, 'v')},
        TReadCase{"QuotesStrippedBeforeTheCut", "[S]\nKey=\"" + std::string(3000, 'v') + "\"\n", "S", "Key",
                  std::string(2047, 'v')},
        TReadCase{"CommentLineIsNoEntry", "[S]\n;Key=commented\n", "S", "Key", "<default>"},
        TReadCase{"LinesBeforeTheFirstSectionIgnored", "Key=outside\n[S]\n", "S", "Key", "<default>"},
        TReadCase{"LoneCarriageReturnsEndLines", "[S]\rA=1\rKey=2\r", "S", "Key", "2"},
        TReadCase{"ByteOrderMarkBeforeTheFirstSectionIgnored", "\xEF\xBB\xBF[S]\nKey=1\n", "S", "Key", "1"},
        TReadCase{"SectionNameBlanksIgnored", "[  S  ]\nKey=1\n", "S", "Key", "1"},
        TReadCase{"BracketWithoutCloseIsAnEntry", "[S]\n[Key=1\n", "S", "[Key", "1"},
        TReadCase{"MissingSection", "[Other]\nKey=1\n", "S", "Key", "<default>"},
        TReadCase{"BinaryGarbageAroundAnEntry",
                  "\x00\xff\xfe[\x01\n[S]\n\x00\x00garbage\nKey=ok\n\x7f\x80=\x00\n"s, "S", "Key",
                  "ok"}),
    [](const ::testing::TestParamInfo<TReadCase>& param) { return std::string(param.param.Name); });

TEST(IniReader, EnumeratesASectionInFileOrderWithTheFirstOfEachKey) {
  const TIniReader ini(
      "[UserList]\r\n"
      "Admin=one\r\n"
      ";Root=commented\r\n"
      "no separator here\r\n"
      "=no name\r\n"
      "ADMIN=two\r\n"
      "Guest='quoted=pass'\r\n"
      "[Other]\r\n"
      "Late=x\r\n");
  const std::vector<TIniEntry> entries = ini.ReadSectionValues("userlist");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Key, "Admin");
  EXPECT_EQ(entries[0].Value, "one");
  EXPECT_EQ(entries[1].Key, "Guest");
  EXPECT_EQ(entries[1].Value, "quoted=pass");
  EXPECT_TRUE(ini.ReadSectionValues("Missing").empty());
}

TEST(IniReader, ReadsATenMegabyteLineAndCutsItsValueButNotASectionValue) {
  std::string text = "[S]\n" + std::string(10 * 1024 * 1024, 'k') + "\nKey=" + std::string(10 * 1024 * 1024, 'v');
  const TIniReader ini(text);
  EXPECT_EQ(ini.ReadString("S", "Key", "").size(), IniMaxValueLength);
  // A section's values are passwords: one cut short would let its prefix in.
  EXPECT_EQ(ini.ReadSectionValues("S").back().Value.size(), 10u * 1024 * 1024);
}

TEST(WholeNumber, AcceptsDecimalAndHexadecimalFormsWithinThirtyTwoBits) {
  struct TCase {
    const char* Text;
    bool Ok;
    std::int32_t Value;
  };
  const TCase cases[] = {
      {"443", true, 443},           {"+443", true, 443},         {"-5", true, -5},
      {"$1F90", true, 8080},        {"$1f90", true, 8080},       {"0x1F90", true, 8080},
      {"0X1f90", true, 8080},       {"x1F90", true, 8080},       {"X10", true, 16},
      {"-$10", true, -16},          {"0", true, 0},              {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN}, {"$7FFFFFFF", true, INT32_MAX},
      {"2147483648", false, 0},     {"$80000000", false, 0},     {"99999999999999999999", false, 0},
      {"", false, 0},               {"-", false, 0},             {"$", false, 0},
      {"0x", false, 0},             {"12a", false, 0},           {"1F90", false, 0},
      {"12 ", false, 0},            {" 12", false, 0},           {"1.5", false, 0},
      {"abc", false, 0},            {"+-1", false, 0},           {"$-1", false, 0},
  };
  for (const TCase& c : cases) {
    std::int32_t value = 0;
    EXPECT_EQ(TryParseWholeNumber(c.Text, value), c.Ok) << c.Text;
    if (c.Ok) {
      EXPECT_EQ(value, c.Value) << c.Text;
    }
  }
}

TEST(IniDocument, LoadNormalisesAndSaveWritesSectionsWithOneEmptyLineAfterEach) {
  TIniDocument ini;
  ini.LoadFromText(
      "\xEF\xBB\xBFstray line before any section\n"
      "; a comment\n"
      "  [Configuration]  \n"
      "\n"
      "   CommonName   =   server.example.com   \n"
      "\t; another comment\n"
      "SessionTimeOut=60000\n"
      "  a line without separator  \n"
      "\n\n"
      "[UserList]\r\n"
      "Admin = secret = with equals\r\n");
  EXPECT_EQ(ini.SaveToText(),
            "[Configuration]\r\n"
            "CommonName=server.example.com\r\n"
            "SessionTimeOut=60000\r\n"
            "a line without separator\r\n"
            "\r\n"
            "[UserList]\r\n"
            "Admin=secret = with equals\r\n"
            "\r\n");
  EXPECT_EQ(ini.ReadSectionLines("userlist"), std::vector<std::string>{"Admin=secret = with equals"});
  EXPECT_EQ(ini.ReadString("CONFIGURATION", "commonname", "?"), "server.example.com");
  EXPECT_EQ(ini.ReadString("Configuration", "Missing", "dflt"), "dflt");
}

TEST(IniDocument, WriteStringReplacesInPlaceAndAppendsWhatIsMissing) {
  TIniDocument ini;
  ini.LoadFromText("[Configuration]\nVardexPort=443\nMemoryBlockCount=5\nvardexport=999\n[Other]\nX=1\n");
  ini.WriteString("configuration", "VARDEXPORT", "8443");
  ini.WriteString("Configuration", "CommonName", "host");
  ini.WriteString("CertificateRequest", "Country", "US");
  EXPECT_EQ(ini.SaveToText(),
            "[Configuration]\r\nVardexPort=8443\r\nMemoryBlockCount=5\r\nvardexport=999\r\nCommonName=host\r\n\r\n"
            "[Other]\r\nX=1\r\n\r\n"
            "[CertificateRequest]\r\nCountry=US\r\n\r\n");
}

TEST(IniDocument, RebuildSectionMovesItToTheEndWithTheUserListRules) {
  TIniDocument ini;
  ini.LoadFromText("[UserList]\nOld=gone\n[Configuration]\nA=1\n[userlist]\nAlsoOld=gone\n");
  ini.RebuildSection("UserList", {"Admin=first", "  ", "NoPassword", "guest=g=h", "ADMIN=second", "=nameless",
                                  " Spaced = kept as typed\r"});
  EXPECT_EQ(ini.SaveToText(),
            "[Configuration]\r\nA=1\r\n\r\n"
            "[UserList]\r\nAdmin=second\r\nNoPassword=\r\nguest=g=h\r\nSpaced= kept as typed\r\n\r\n");
}

TEST(IniDocument, RebuildSectionWithNoEntriesLeavesNoSectionAndAcceptsManyLines) {
  TIniDocument ini;
  ini.LoadFromText("[UserList]\nA=1\n[Configuration]\nB=2\n");
  ini.RebuildSection("UserList", {});
  EXPECT_FALSE(ini.SectionExists("UserList"));

  std::vector<std::string> many;
  for (int i = 0; i < 300; ++i) many.push_back("user" + std::to_string(i) + "=pw" + std::to_string(i));
  ini.RebuildSection("UserList", many);
  const std::vector<std::string> lines = ini.ReadSectionLines("UserList");
  ASSERT_EQ(lines.size(), 300u);
  EXPECT_EQ(lines.back(), "user299=pw299");
}

TEST(IniDocument, WritesSevenBitAsciiWithOneQuestionMarkPerCharacter) {
  TIniDocument ini;
  // "é" and "€" in UTF-8, then a byte that starts no valid sequence.
  ini.RebuildSection("UserList", {"Ren\xC3\xA9=pa\xE2\x82\xACss\xFFword"});
  EXPECT_EQ(ini.SaveToText(), "[UserList]\r\nRen?=pa?ss?word\r\n\r\n");
}

TEST(IniDocument, ALineBreakInsideAValueCannotForgeAnotherSection) {
  TIniDocument ini;
  ini.WriteString("CertificateRequest", "Locality", "Town\r\n[UserList]\r\nintruder=pw");
  TIniReader reread(ini.SaveToText());
  EXPECT_TRUE(reread.ReadSectionValues("UserList").empty());
  EXPECT_EQ(reread.ReadString("CertificateRequest", "Locality", ""), "Town??[UserList]??intruder=pw");
}

}  // namespace
}  // namespace kelvane
