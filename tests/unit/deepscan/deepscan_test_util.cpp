// Sample files for the deep-scan tests, made by the tools that write these formats.
#include "deepscan_test_util.h"

#include <gtest/gtest.h>

#include <random>

namespace dstest {

bool sh(const std::filesystem::path& dir, const std::string& command) {
  const auto r = kvxtest::run("cd " + kvxtest::quote(dir.string()) + " && " + command);
  EXPECT_EQ(r.exitCode, 0) << command;
  return r.exitCode == 0;
}

Bytes noise(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng() >> 24);
  return b;
}

bool makeToolSamples(const std::filesystem::path& dir) {
  if (!kvxtest::haveTools({"convert", "gs", "zip", "tar", "gcab", "python3"})) {
    ADD_FAILURE() << "sample tools missing (imagemagick, ghostscript, zip, tar, gcab, python3)";
    return false;
  }
  const char* script = R"SH(set -e
convert -size 96x64 plasma:fractal -seed 7 -quality 85 photo.jpg
convert -size 64x48 gradient:red-blue pic.png
convert -size 40x30 gradient:yellow-green -colors 16 anim1.gif
convert -delay 10 -size 24x24 xc:red xc:blue xc:green anim.gif
convert -size 33x17 gradient:white-black pic.bmp
convert -size 32x32 gradient:red-blue -define icon:auto-resize=16,32 icon.ico
printf '%%!PS\n/Helvetica findfont 20 scalefont setfont 72 700 moveto (Deep scan sample) show showpage\n' > t.ps
gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -sOutputFile=doc.pdf t.ps
mkdir -p tree/sub && printf 'alpha\n' > tree/a.txt && head -c 3000 /dev/urandom > tree/sub/b.bin
cp photo.jpg tree/sub/photo.jpg
(cd tree && tar --format=gnu -cf ../archive.tar .)
zip -q -X plain.zip pic.png tree/a.txt
zip -q -X -0 stored.zip photo.jpg
mkdir -p ooxml/word ooxml/xl ooxml/ppt ooxml/_rels
printf '<?xml version="1.0"?><Types/>' > 'ooxml/[Content_Types].xml'
printf '<document/>' > ooxml/word/document.xml
printf '<workbook/>' > ooxml/xl/workbook.xml
printf '<presentation/>' > ooxml/ppt/presentation.xml
printf '<Relationships/>' > ooxml/_rels/.rels
(cd ooxml && zip -q -X ../doc.docx '[Content_Types].xml' _rels/.rels word/document.xml)
(cd ooxml && zip -q -X ../book.xlsx '[Content_Types].xml' _rels/.rels xl/workbook.xml)
(cd ooxml && zip -q -X ../slides.pptx '[Content_Types].xml' ppt/presentation.xml)
mkdir -p skin && printf '<skin/>' > skin/theme.wms && (cd skin && zip -q -X ../skin.wmz theme.wms)
gcab -c -z files.cab pic.png tree/a.txt
python3 -c "
import wave
w = wave.open('tone.wav', 'wb'); w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000)
w.writeframes(bytes(range(256)) * 16); w.close()"
)SH";
  return sh(dir, script);
}

}  // namespace dstest
