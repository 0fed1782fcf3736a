// The extension check of listed files: notes, state and renaming.
#include <gtest/gtest.h>

#include <string>

#include "core/storage.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"

namespace {

std::string narrow(const void* p) {
  std::string out;
  for (auto* s = static_cast<const char16_t*>(p); s != nullptr && *s != 0; ++s)
    out.push_back(static_cast<char>(*s));
  return out;
}

struct ExtCase {
  const char* name;
  std::u16string file;
  std::uint32_t detected;
  bool rename;
  const char* note;        // nullptr: unchanged
  std::u16string renamed;  // name afterwards
};
class CheckExtensionTest : public ::testing::TestWithParam<ExtCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(Undelete_Create(&m_u), 1);
    ASSERT_TRUE(Storage_Reserve(m_u));
  }
  void TearDown() override { Undelete_Delete(m_u); }
  Undelete* m_u = nullptr;
};

TEST_P(CheckExtensionTest, NoteStateAndName) {
  const ExtCase& c = GetParam();
  FileRecord r{};
  r.status = static_cast<std::uint8_t>(1 | (kStateExcellent << 1));
  char16_t name[64] = {};
  std::copy(c.file.begin(), c.file.end(), name);
  EXPECT_TRUE(FileFormat_CheckExtension(&r, c.detected, c.rename, m_u, name, 64));
  if (c.note == nullptr) {
    EXPECT_EQ(r.note.get(), 0u);
    EXPECT_EQ(r.status, 1 | (kStateExcellent << 1));
  } else {
    EXPECT_EQ(narrow(Storage_At(m_u, r.note.get())), c.note);
    EXPECT_EQ(r.status, 1 | (kStateBad << 1));  // existing bit kept
  }
  EXPECT_EQ(std::u16string(name), c.renamed);
}

INSTANTIATE_TEST_SUITE_P(
    Names, CheckExtensionTest,
    ::testing::Values(
        ExtCase{"Matching", u"photo.JPG", kFmtJpg, true, nullptr, u"photo.JPG"},
        ExtCase{"PngInJpg", u"photo.jpg", kFmtPng, false, "Real file type is PNG.", u"photo.jpg"},
        ExtCase{"PngInJpgRenamed", u"photo.jpg", kFmtPng, true, "Real file type is PNG.",
                u"photo.jpg.png"},
        ExtCase{"NothingDetectedInTxt", u"notes.txt", kFmtNone, true,
                "File extension doesn't match contents.", u"notes.txt"},
        ExtCase{"UnknownExtensionNothingDetected", u"data.xyz", kFmtNone, true, nullptr,
                u"data.xyz"},
        ExtCase{"HtmlIsNotAKnownExtension", u"index.html", kFmtHtm, false,
                "Real file type is HTML.", u"index.html"},
        ExtCase{"MuiBeforeDll", u"a.dll.mui", kFmtDllMui, false, nullptr, u"a.dll.mui"},
        ExtCase{"DocxIsNotDoc", u"r.docx", kFmtDoc, false, "Real file type is DOC.", u"r.docx"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CheckExtension, RenameThatDoesNotFitLeavesTheName) {
  FileRecord r{};
  char16_t name[10] = u"abcdef.gi";
  EXPECT_TRUE(FileFormat_CheckExtension(&r, kFmtPng, true, nullptr, name, 10));
  EXPECT_EQ(std::u16string(name), u"abcdef.gi");
  EXPECT_EQ((r.status >> 1) & 0x1F, kStateBad);
}

TEST(FormatTable, RowsAndExtensions) {
  EXPECT_EQ(FileFormat_Row(0), nullptr);
  EXPECT_EQ(FileFormat_Row(41), nullptr);
  EXPECT_EQ(FileFormat_Row(kFmtHtm)->extension, ".htm");
  EXPECT_EQ(FileFormat_Row(kFmtHtm)->note, "Real file type is HTML.");
  EXPECT_EQ(FileFormat_ExtensionOf(u"X.DLL.MUI"), kFmtDllMui);
  EXPECT_EQ(FileFormat_ExtensionOf(u"x.mui"), kFmtNone);
  EXPECT_EQ(FileFormat_ExtensionOf(u"a.Docx"), kFmtDocx);
}

}  // namespace
