// RIFF containers: WAV, AVI, ANI, CDR, CMX and RMI, told apart by the form type.
#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

bool FileFormat_RecognizeRiff(FormatReader& reader, FormatResult& out) noexcept {
  std::uint8_t h[12];
  if (!reader.read(h, sizeof h) || !deepscan::equals(h, "RIFF")) return false;
  struct Form {
    const char* type;
    std::uint32_t id;
  };
  static constexpr Form kForms[] = {{"WAVE", kFmtWav}, {"AVI ", kFmtAvi}, {"ACON", kFmtAni},
                                    {"CDR5", kFmtCdr}, {"CMX1", kFmtCmx}, {"RMID", kFmtRmi}};
  out.identifier = kFmtNone;
  for (const Form& f : kForms)
    if (deepscan::equals(h + 8, f.type)) out.identifier = f.id;
  if (out.identifier == kFmtNone) return false;
  const std::uint32_t size = deepscan::le32At(h + 4);
  // The RIFF size counts the form type and the chunks; a size below 4 cannot be skipped.
  out.completeness = size >= 4 && reader.skip(size - 4u) ? kComplGood : kComplBad;
  out.length = reader.consumed();
  return true;
}
