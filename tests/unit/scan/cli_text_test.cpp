// The text helpers of kvx scan/recover: JSON escaping and UTF-16 conversion, wildcard patterns,
// state lists, safe file names and times; the listing over hand-made results. The helpers come
// from the command line's library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "json_writer.h"
#include "options.h"
#include "scan_output.h"
#include "scan_session.h"
#include "core/storage.h"

namespace {

struct Utf16Case {
  const char* name;
  std::u16string in;
  std::string json;  // jsonQuote(utf16ToUtf8(in))
};
class Utf16JsonTest : public ::testing::TestWithParam<Utf16Case> {};
TEST_P(Utf16JsonTest, Quote) {
  EXPECT_EQ(kvx::jsonQuote(kvx::utf16ToUtf8(GetParam().in)), GetParam().json);
}
INSTANTIATE_TEST_SUITE_P(
    Cli, Utf16JsonTest,
    ::testing::Values(
        Utf16Case{"Plain", u"report.doc", "\"report.doc\""},
        Utf16Case{"QuoteAndBackslash", u"a\"b\\c", "\"a\\\"b\\\\c\""},
        Utf16Case{"ControlCharacters", u"a\tb\nc\x01\x7f", "\"a\\tb\\nc\\u0001\\u007f\""},
        Utf16Case{"Latin1", u"caf\u00e9", "\"caf\xc3\xa9\""},
        Utf16Case{"SurrogatePair", u"\U0001F600", "\"\xf0\x9f\x98\x80\""},
        Utf16Case{"LoneHigh", std::u16string{u'a', char16_t(0xD800), u'b'}, "\"a\xef\xbf\xbd" "b\""},
        Utf16Case{"LoneLowFirst", std::u16string{char16_t(0xDC00), char16_t(0xD800)},
                  "\"\xef\xbf\xbd\xef\xbf\xbd\""},
        Utf16Case{"HighAtEnd", std::u16string{u'x', char16_t(0xDBFF)}, "\"x\xef\xbf\xbd\""}),
    [](const auto& info) { return std::string(info.param.name); });

struct Utf8Case {
  const char* name;
  std::string in, out;
};
class SanitizeUtf8Test : public ::testing::TestWithParam<Utf8Case> {};
TEST_P(SanitizeUtf8Test, Replace) { EXPECT_EQ(kvx::sanitizeUtf8(GetParam().in), GetParam().out); }
INSTANTIATE_TEST_SUITE_P(
    Cli, SanitizeUtf8Test,
    ::testing::Values(Utf8Case{"Valid", "a\xc3\xa9\xe2\x82\xac", "a\xc3\xa9\xe2\x82\xac"},
                      Utf8Case{"Latin1Byte", "caf\xe9", "caf\xef\xbf\xbd"},
                      Utf8Case{"Overlong", "\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
                      Utf8Case{"EncodedSurrogate", "\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
                      Utf8Case{"Truncated", "ab\xe2\x82", "ab\xef\xbf\xbd\xef\xbf\xbd"},
                      Utf8Case{"AboveUnicode", "\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonWriter, NestedDocument) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* mem = open_memstream(&buffer, &size);
  {
    kvx::JsonWriter w(mem);
    w.beginObject();
    w.key("a").beginArray();
    w.unsignedNumber(1);
    w.number(-2);
    w.beginObject();
    w.endObject();
    w.endArray();
    w.key("b").null();
    w.key("c").boolean(true);
    w.key("d\n").string("x\xff");
    w.endObject();
    w.finish();
  }
  std::fclose(mem);
  EXPECT_EQ(std::string(buffer, size),
            "{\"a\":[1,-2,{}],\"b\":null,\"c\":true,\"d\\n\":\"x\xef\xbf\xbd\"}\n");
  std::free(buffer);
}

struct PatternCase {
  const char* name;
  const char* patterns;
  const char* file;
  bool match;
};
class PatternTest : public ::testing::TestWithParam<PatternCase> {};
TEST_P(PatternTest, Match) {
  EXPECT_EQ(kvx::matchesAnyPattern(GetParam().patterns, GetParam().file), GetParam().match);
}
INSTANTIATE_TEST_SUITE_P(
    Cli, PatternTest,
    ::testing::Values(PatternCase{"StarExtension", "*.jpg", "Photo.JPG", true},
                      PatternCase{"StarNeedsSuffix", "*.jpg", "photo.jpeg", false},
                      PatternCase{"SecondPattern", "*.jpg;report?.doc", "REPORT1.doc", true},
                      PatternCase{"QuestionIsOneCharacter", "report?.doc", "report12.doc", false},
                      PatternCase{"QuestionMatchesMultibyte", "caf?.txt", "caf\xc3\xa9.txt", true},
                      PatternCase{"Latin1Folding", "\xc3\x89T\xc3\x89.*", "\xc3\xa9t\xc3\xa9.txt", true},
                      PatternCase{"Backtracking", "*a*b*c", "xaxbxbxc", true},
                      PatternCase{"BacktrackingFails", "*a*b*c", "xaxbxbx", false},
                      PatternCase{"EmptyPieceIgnored", ";;*.txt;", "a.txt", true},
                      PatternCase{"OnlyEmptyPieces", ";", "a.txt", false},
                      PatternCase{"StarMatchesEmpty", "a*", "a", true},
                      PatternCase{"Exact", "A.TXT", "a.txt", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StateList, NamesCaseInsensitive) {
  EXPECT_EQ(kvx::parseStateList("excellent,good"), (1u << 4) | (1u << 3));
  EXPECT_EQ(kvx::parseStateList(" Existing , BAD"), (1u << 5) | (1u << 1));
  EXPECT_EQ(kvx::parseStateList("unrecoverable"), 1u);
  EXPECT_FALSE(kvx::parseStateList("great"));
  EXPECT_FALSE(kvx::parseStateList(""));
  EXPECT_FALSE(kvx::parseStateList(","));
}

struct NameCase {
  const char* name;
  std::string in, out;
};
class SafeComponentTest : public ::testing::TestWithParam<NameCase> {};
TEST_P(SafeComponentTest, Sanitise) { EXPECT_EQ(kvx::safeComponent(GetParam().in), GetParam().out); }
INSTANTIATE_TEST_SUITE_P(
    Cli, SafeComponentTest,
    ::testing::Values(NameCase{"Plain", "a.txt", "a.txt"}, NameCase{"Dot", ".", "__"},
                      NameCase{"DotDot", "..", "___"}, NameCase{"Empty", "", "_"},
                      NameCase{"Slash", "../etc/passwd", ".._etc_passwd"},
                      NameCase{"Control", "a\nb\x7f", "a_b_"},
                      NameCase{"StreamColonKept", "file:stream", "file:stream"},
                      NameCase{"TooLong", std::string(300, 'x') + ".jpg", std::string(251, 'x') + ".jpg"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SafeComponent, LongNameCutsOnCharacterBoundary) {
  std::string name;
  for (int i = 0; i < 200; ++i) name += "\xc3\xa9";  // 400 bytes
  const std::string safe = kvx::safeComponent(name);
  EXPECT_LE(safe.size(), 255u);
  EXPECT_EQ(kvx::sanitizeUtf8(safe), safe) << "no character cut in half";
}

TEST(NumberedName, BeforeExtension) {
  EXPECT_EQ(kvx::numberedName("a.txt", 2), "a (2).txt");
  EXPECT_EQ(kvx::numberedName("archive.tar.gz", 3), "archive.tar (3).gz");
  EXPECT_EQ(kvx::numberedName("README", 2), "README (2)");
  EXPECT_EQ(kvx::numberedName(".profile", 2), ".profile (2)");
}

TEST(Attributes, Letters) {
  EXPECT_EQ(kvx::attributeLetters(0), "");
  EXPECT_EQ(kvx::attributeLetters(kAttrArchive | kAttrHidden), "AH");
  EXPECT_EQ(kvx::attributeLetters(0x3F), "ARHSCE");
  EXPECT_EQ(kvx::attributeLetters(0xC0), "") << "bits beyond the six letters";
}

TEST(Times, FileTimeText) {
  // 2020-01-02 03:04:06 as a FILETIME.
  const std::uint64_t ft = (1577934246ull + 11644473600ull) * 10000000ull;
  EXPECT_EQ(kvx::fileTimeToText(ft), "2020-01-02 03:04:06");
  EXPECT_EQ(kvx::fileTimeToText(0), "");
  const char* oldTz = std::getenv("TZ");
  const std::string saved = oldTz != nullptr ? oldTz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(kvx::fileTimeToIsoUtc(ft), "2020-01-02T03:04:06Z");
  EXPECT_EQ(kvx::fileTimeToIsoUtc(ft + 1230000), "2020-01-02T03:04:06.123Z");
  setenv("TZ", "UTC-2", 1);  // two hours east: wall clock 03:04 is 01:04 UTC
  tzset();
  EXPECT_EQ(kvx::fileTimeToIsoUtc(ft), "2020-01-02T01:04:06Z");
  EXPECT_EQ(kvx::fileTimeToIsoUtc(0), "");
  if (oldTz != nullptr) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

// The calendar arithmetic of the ISO times against the C library's, over dates that catch the
// usual slips (leap days, century years, 1970, the last second of a day and of a year), and the
// local form with its zone offset on both sides of UTC.
TEST(Times, IsoTimesAgreeWithTheCLibrary) {
  const char* oldTz = std::getenv("TZ");
  const std::string saved = oldTz != nullptr ? oldTz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  const auto fileTime = [](std::int64_t unix) {
    return static_cast<std::uint64_t>(unix + 11644473600ll) * 10000000ull;
  };
  for (const std::int64_t t :
       {0ll, 86399ll, 951782400ll /* 2000-02-29 */, 951868799ll, 4107542399ll /* 2100-02-28 end */,
        4107542400ll, 1609459199ll /* 2020-12-31 23:59:59 */, -1ll, -2208988800ll /* 1900 */,
        253402300799ll /* 9999-12-31 23:59:59 */}) {
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    ASSERT_NE(gmtime_r(&tt, &tm), nullptr);
    char want[40];
    std::strftime(want, sizeof want, "%Y-%m-%dT%H:%M:%S", &tm);
    EXPECT_EQ(kvx::fileTimeToIsoUtc(fileTime(t)), std::string(want) + "Z") << t;
    EXPECT_EQ(kvx::fileTimeToIsoLocal(fileTime(t)), std::string(want) + "+00:00") << t;
  }
  EXPECT_EQ(kvx::fileTimeToIsoUtc(fileTime(253402300800ll)), "") << "year 10000 is not written";
  const std::uint64_t ft = fileTime(1577934246);  // 2020-01-02 03:04:06 wall clock
  setenv("TZ", "UTC-5:30", 1);
  tzset();
  EXPECT_EQ(kvx::fileTimeToIsoLocal(ft), "2020-01-02T03:04:06+05:30");
  setenv("TZ", "UTC+3", 1);
  tzset();
  EXPECT_EQ(kvx::fileTimeToIsoLocal(ft), "2020-01-02T03:04:06-03:00");
  EXPECT_EQ(kvx::fileTimeToIsoUtc(ft), "2020-01-02T06:04:06Z");
  if (oldTz != nullptr) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

// --- The listing over results placed in the storage by hand --------------------------------------

std::string capture(const std::function<void(std::FILE*)>& write) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* mem = open_memstream(&buffer, &size);
  write(mem);
  std::fclose(mem);
  std::string out(buffer, size);
  std::free(buffer);
  return out;
}

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Undelete* u = session.engine();
    ASSERT_NE(u, nullptr);
    ASSERT_TRUE(Storage_Reserve(u));
    ASSERT_TRUE(Storage_AddFolder(u, u"X:", kNoParent, 0xFFFF, 0, false, false, &root));
    ASSERT_TRUE(Storage_AddFolder(u, u"Docs", root, 0, kAttrReadOnly, false, false, &docs));
    ASSERT_TRUE(Storage_AddFolder(u, u"Sys", root, 0, 0, false, false, &sys));
    Storage_Folder(u, sys)->flags.set(Storage_Folder(u, sys)->flags.get() | kFolderHidden);
    add(docs, u"report.doc", kStatusExisting | (kStateExisting << 1), 0);
    add(root, u"old.jpg", kStateGood << 1, 0);  // index 1, replaced below
    add(sys, u"secret.bin", kStateExcellent << 1, 0);
    const char16_t odd[] = {u'a', u'\n', char16_t(0xD800), u'.', u't', u'x', u't', 0};
    add(root, odd, kStatePoor << 1, 0);
    Storage_File(u, 1)->marks.set(1);
  }
  void add(std::uint32_t folder, const char16_t* name, std::uint8_t status, std::uint8_t attrs) {
    Undelete* u = session.engine();
    std::uint32_t ref = 0;
    ASSERT_TRUE(Storage_AddString(u, name, &ref));
    FileRecord r;
    std::memset(&r, 0, sizeof r);
    r.folder.set(folder);
    r.name.set(ref);
    r.size.set(1234);
    r.status = status;
    r.attributes = attrs;
    r.overwrittenClusters.set(1);
    r.totalClusters.set(3);
    r.overwrittenBy.set(0xFFFFFFFFu);
    for (auto& c : r.firstOverwritten) c.set(~std::uint64_t{0});
    r.firstOverwritten[0].set(77);
    r.location.set(kKindFat << 12);
    ASSERT_TRUE(Storage_AddFile(u, &r, false));
  }
  kvx::ScanSession session;
  std::uint32_t root = 0, docs = 0, sys = 0;
};

TEST_F(ListingTest, TableLeavesOutReplacedAndHidden) {
  const std::string table = capture([&](std::FILE* f) { kvx::writeScanTable(session, f); });
  EXPECT_NE(table.find(" Docs/report.doc\n"), std::string::npos) << table;
  EXPECT_EQ(table.find("old.jpg"), std::string::npos) << "replaced records are left out";
  EXPECT_EQ(table.find("secret.bin"), std::string::npos) << "files of hidden folders are left out";
  EXPECT_NE(table.find(" Poor "), std::string::npos) << table;
  EXPECT_NE(table.find(" 1/3 "), std::string::npos) << table;
  EXPECT_NE(table.find(" a?\xef\xbf\xbd.txt\n"), std::string::npos) << "control character and lone surrogate";
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3) << "header and two files";
}

TEST_F(ListingTest, JsonHasEveryRecordWithPathsAndFlags) {
  const std::string json = capture([&](std::FILE* f) { kvx::writeScanJson(session, 0, "No errors.", f); });
  for (const char* part :
       {"\"drives\":[]", "\"path\":\"Docs/report.doc\"", "\"location\":\"Docs\"",
        "\"name\":\"old.jpg\",\"folder\":0", "\"replaced\":true", "\"path\":\"Sys/secret.bin\"",
        "\"name\":\"a\\n\xef\xbf\xbd.txt\"", "\"firstOverwritten\":[77]", "\"fileSystem\":\"FAT\"",
        "\"stateName\":\"Poor\"", "\"parent\":null", "\"hidden\":true", "\"attributes\":\"R\"",
        "\"error\":{\"code\":0,\"message\":\"No errors.\"}"})
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  EXPECT_EQ(json.find("\"modified\""), std::string::npos) << "times of 0 are left out";
  EXPECT_EQ(json.back(), '\n');
}

/// Listing options as kvx scan would make them from @p argv.
kvx::ListingOptions listingOf(const std::vector<std::string>& argv) {
  kvx::Args args;
  EXPECT_EQ(kvx::parseArgs({}, kvx::joinOptions({&kvx::filterOptionDecls(), &kvx::listingOptionDecls()}),
                           argv, args).kind, kvx::ParseOutcome::Ok);
  kvx::ListingOptions listing;
  std::string error;
  EXPECT_TRUE(kvx::listingFromArgs(args, listing, &error)) << error;
  return listing;
}

TEST_F(ListingTest, FiltersAndPathStyles) {
  const auto table = [&](const std::vector<std::string>& argv) {
    return capture([&](std::FILE* f) { kvx::writeScanTable(session, f, listingOf(argv)); });
  };
  const auto lines = [](const std::string& t) { return std::count(t.begin(), t.end(), '\n'); };
  EXPECT_EQ(lines(table({"--deleted"})), 2) << "header and the deleted file";
  EXPECT_EQ(lines(table({"--state", "existing,excellent"})), 2);
  EXPECT_EQ(lines(table({"--id", "0,3"})), 3);
  EXPECT_EQ(lines(table({"--id", "1"})), 1) << "a replaced record is not listed, not even by id";
  // Comma separates patterns; a pattern with '/' is matched against the path, not the name.
  EXPECT_EQ(lines(table({"--pattern", "*.doc,*.txt"})), 3);
  EXPECT_EQ(lines(table({"--pattern", "*.doc;nothing"})), 2);
  EXPECT_EQ(lines(table({"--pattern", "docs/*.doc"})), 2);
  EXPECT_EQ(lines(table({"--pattern", "/Docs/*"})), 2) << "a leading '/' is the volume root";
  EXPECT_EQ(lines(table({"--pattern", "other/*.doc"})), 1);
  EXPECT_NE(table({"--path-style", "windows"}).find(" X:\\Docs\\report.doc\n"), std::string::npos);

  // TSV: every line splits into the same eleven fields, whatever the names hold.
  const std::string tsv = table({"--tsv"});
  std::size_t start = 0, rows = 0;
  while (start < tsv.size()) {
    const std::size_t end = tsv.find('\n', start);
    const std::string line = tsv.substr(start, end - start);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 10) << line;
    start = end + 1;
    ++rows;
  }
  EXPECT_EQ(rows, 3u);
  EXPECT_NE(tsv.find("3\t-\t1\t1234\tPoor\t1\t3\t\t\ta?\xef\xbf\xbd.txt\t\n"), std::string::npos) << tsv;
}

TEST_F(ListingTest, JsonLinesOneObjectPerLineAndFiltered) {
  const std::string all = capture([&](std::FILE* f) { kvx::writeScanJsonLines(session, f); });
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 4) << "every record, one a line:\n" << all;
  std::size_t start = 0;
  while (start < all.size()) {
    const std::size_t end = all.find('\n', start);
    EXPECT_EQ(all[start], '{');
    EXPECT_EQ(all[end - 1], '}');
    start = end + 1;
  }
  const std::string one = capture(
      [&](std::FILE* f) { kvx::writeScanJsonLines(session, f, listingOf({"--pattern", "*.doc"})); });
  EXPECT_EQ(one.rfind("{\"index\":0,\"path\":\"Docs/report.doc\"", 0), 0u) << one;
  EXPECT_EQ(std::count(one.begin(), one.end(), '\n'), 1);
}

struct ParseCase {
  const char* name;
  std::vector<std::string> argv;
  kvx::ParseOutcome::Kind kind;
  const char* message;  // start of the error message
};
class ParseTest : public ::testing::TestWithParam<ParseCase> {};
TEST_P(ParseTest, Outcome) {
  const std::vector<kvx::Positional> positionals{{"SOURCE", "source"},
                                                 {"ID", "id", false, kvx::Complete::None}};
  const std::vector<kvx::Option> options{
      {"--to", "DIR", "destination"},
      {"--deep", nullptr, "deep"},
      {"--style", "S", "style", kvx::Complete::Choices, "native windows"},
      {"--yes", nullptr, "yes", kvx::Complete::None, nullptr, "-y"}};
  kvx::Args args;
  const kvx::ParseOutcome r = kvx::parseArgs(positionals, options, GetParam().argv, args);
  EXPECT_EQ(r.kind, GetParam().kind) << r.message;
  EXPECT_EQ(r.message.rfind(GetParam().message, 0), 0u) << r.message;
}
INSTANTIATE_TEST_SUITE_P(
    Cli, ParseTest,
    ::testing::Values(
        ParseCase{"ValueSeparate", {"img", "--to", "d"}, kvx::ParseOutcome::Ok, ""},
        ParseCase{"ValueJoined", {"--to=d", "img", "-y"}, kvx::ParseOutcome::Ok, ""},
        ParseCase{"MissingValueAtEnd", {"img", "--to"}, kvx::ParseOutcome::Error, "--to needs a value (DIR)"},
        ParseCase{"ValueIsAnOption", {"img", "--to", "--deep"}, kvx::ParseOutcome::Error, "--to needs a value"},
        ParseCase{"EmptyJoinedValue", {"img", "--to="}, kvx::ParseOutcome::Error, "--to needs a value"},
        ParseCase{"DashValueAllowed", {"img", "--to", "-odd"}, kvx::ParseOutcome::Ok, ""},
        ParseCase{"FlagTakesNoValue", {"img", "--deep=1"}, kvx::ParseOutcome::Error, "--deep takes no value"},
        ParseCase{"Unknown", {"img", "--bogus"}, kvx::ParseOutcome::Error, "unknown option --bogus"},
        ParseCase{"UnknownBeforeHelp", {"--bogus", "--help"}, kvx::ParseOutcome::Error, "unknown option"},
        ParseCase{"HelpWins", {"img", "extra", "more", "-h"}, kvx::ParseOutcome::Help, ""},
        ParseCase{"MissingPositional", {"--deep"}, kvx::ParseOutcome::Error, "missing SOURCE"},
        ParseCase{"TooMany", {"a", "b", "c"}, kvx::ParseOutcome::Error, "unexpected argument c"},
        ParseCase{"DoubleDash", {"--", "-img"}, kvx::ParseOutcome::Ok, ""},
        ParseCase{"Choice", {"img", "--style", "windows"}, kvx::ParseOutcome::Ok, ""},
        ParseCase{"BadChoice", {"img", "--style=dos"}, kvx::ParseOutcome::Error, "--style takes one of"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FilterArgs, BadValuesAreUsageErrors) {
  const auto opts = kvx::joinOptions({&kvx::filterOptionDecls()});
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{"--id", "1,x"}, {"--id", ","}, {"--state", "great"},
        {"--pattern", ",;"}, {"--id", "99999999999"}}) {
    kvx::Args args;
    ASSERT_EQ(kvx::parseArgs({}, opts, argv, args).kind, kvx::ParseOutcome::Ok);
    kvx::FileFilter filter;
    std::string error;
    EXPECT_FALSE(kvx::filterFromArgs(args, false, filter, &error)) << argv[1];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
