// Deep scan by content: the format table, the reader the recognisers walk, the twenty format
// recognisers, the detector that picks one by signature, the extension check and the scan of the
// sectors no file system claims.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "undelete/undelete.h"

struct ExtentReader;

// Format identifiers. 0 is "no known format"; 1..40 index the format table.
enum FormatId : std::uint32_t {
  kFmtNone = 0,
  kFmtWav = 1,
  kFmtAvi = 2,
  kFmtAni = 3,
  kFmtCdr = 4,
  kFmtCmx = 5,
  kFmtRmi = 6,
  kFmtExe = 7,
  kFmtDll = 8,
  kFmtBmp = 9,
  kFmtJpg = 10,
  kFmtGif = 11,
  kFmtPng = 12,
  kFmtZip = 13,
  kFmtRar = 14,
  kFmtCab = 15,
  kFmtTar = 16,
  kFmtIco = 17,
  kFmtCur = 18,
  kFmtPdf = 19,
  kFmtTtf = 20,
  kFmtMof = 21,
  kFmtDoc = 22,
  kFmtDocx = 23,
  kFmtXls = 24,
  kFmtXlsx = 25,
  kFmtPpt = 26,
  kFmtPptx = 27,
  kFmtWmz = 28,
  kFmtChm = 29,
  kFmtHlp = 30,
  kFmtHtm = 31,
  kFmtXml = 32,
  kFmtRtf = 33,
  kFmtTxt = 34,
  kFmtDllMui = 35,
  kFmtExeMui = 36,
  kFmtAsf = 37,
  kFmtWmv = 38,
  kFmtSwf = 39,
  kFmtMov = 40,
};
inline constexpr std::uint32_t kFormatCount = 40;

// Completeness of a find; it becomes the carved file's state (FileState numbers 0..4).
inline constexpr std::uint32_t kComplUnrecoverable = 0;  // recognised, structure inconsistent
inline constexpr std::uint32_t kComplBad = 1;            // only the header is sound
inline constexpr std::uint32_t kComplPoor = 2;           // structure partly present
inline constexpr std::uint32_t kComplGood = 3;           // whole structure as far as checkable
inline constexpr std::uint32_t kComplExcellent = 4;      // whole structure up to an end marker

/// One row of the format table: the extension (carved names, folder names, extension check) and
/// the note given to a listed file whose contents are of this format but whose name says otherwise.
struct FormatRow {
  std::uint32_t id;
  std::string_view extension;  // ".jpg"
  std::string_view note;       // "Real file type is JPG."
};
/// Row of identifier @p id, or nullptr for 0 and identifiers past the table.
[[nodiscard]] const FormatRow* FileFormat_Row(std::uint32_t id) noexcept;
/// Identifier of the first row whose extension ends @p name (letters A-Z compared without regard
/// to case, everything else exactly), 0 when none does.
[[nodiscard]] std::uint32_t FileFormat_ExtensionOf(std::u16string_view name) noexcept;

inline constexpr std::string_view kDeepScanNote = "Found by Deep Scan";
inline constexpr std::string_view kExtensionMismatchNote = "File extension doesn't match contents.";

/// The window a recogniser walks: a byte stream with a cursor, bounded by the data under
/// examination (a span in tests and fuzzers, a run of free sectors or a file's extents in the
/// engine, never more than the volume). A read or skip that does not fit the window, meets a
/// failed drive read or sees the cancel event fails and consumes nothing; after a failed drive
/// read every later read fails too.
class FormatReader {
 public:
  virtual ~FormatReader() = default;
  /// Copies the next @p n bytes into @p out and consumes them.
  [[nodiscard]] virtual bool read(void* out, std::uint64_t n) noexcept = 0;
  /// Passes over the next @p n bytes.
  [[nodiscard]] virtual bool skip(std::uint64_t n) noexcept = 0;
  /// A view of up to @p max bytes at the cursor, not consumed; empty only at the window's end or
  /// after a failure. It stays valid until the next call on the reader.
  [[nodiscard]] virtual std::span<const std::uint8_t> peek(std::size_t max) noexcept = 0;
  /// Bytes consumed since the start of the window.
  [[nodiscard]] virtual std::uint64_t consumed() const noexcept = 0;
  /// Back to the start of the window; clears a failure.
  virtual void rewind() noexcept = 0;

  /// Skips to the next multiple of @p unit of the consumed count.
  [[nodiscard]] bool alignTo(std::uint32_t unit) noexcept;
  [[nodiscard]] bool readU8(std::uint8_t& v) noexcept { return read(&v, 1); }
  [[nodiscard]] bool readLe16(std::uint16_t& v) noexcept;
  [[nodiscard]] bool readLe32(std::uint32_t& v) noexcept;
  [[nodiscard]] bool readBe16(std::uint16_t& v) noexcept;
  [[nodiscard]] bool readBe32(std::uint32_t& v) noexcept;
};

/// A FormatReader over bytes in memory.
class SpanFormatReader final : public FormatReader {
 public:
  explicit SpanFormatReader(std::span<const std::uint8_t> window) noexcept : m_data(window) {}
  [[nodiscard]] bool read(void* out, std::uint64_t n) noexcept override;
  [[nodiscard]] bool skip(std::uint64_t n) noexcept override;
  [[nodiscard]] std::span<const std::uint8_t> peek(std::size_t max) noexcept override;
  [[nodiscard]] std::uint64_t consumed() const noexcept override { return m_pos; }
  void rewind() noexcept override { m_pos = 0; }

 private:
  std::span<const std::uint8_t> m_data;
  std::size_t m_pos = 0;  // invariant: m_pos <= m_data.size()
};

/// What a recogniser decided. The length counts from the window's start.
struct FormatResult {
  std::uint32_t identifier = kFmtNone;
  std::uint32_t completeness = kComplUnrecoverable;
  std::uint64_t length = 0;
};

/// A recogniser starts at the window's start (the reader is rewound for it). It returns true when
/// it accepts (an accepted identifier 0 produces no file); on false @p out is undefined.
using FormatRecognizeFn = bool (*)(FormatReader& reader, FormatResult& out) noexcept;
/// Signature test on the first 16 bytes of the window (zero-padded when the window is shorter).
using FormatSignatureFn = bool (*)(std::span<const std::uint8_t, 16> head) noexcept;

/// One entry of the detector's table, in detection order.
struct FormatRecogniser {
  const char* name;             // short name for logs, tests and benchmarks
  FormatSignatureFn signature;  // when it matches, the recogniser is tried
  FormatRecognizeFn recognize;
};
inline constexpr std::size_t kRecogniserCount = 20;
/// The recognisers in the detector's order (TrueType first, text last).
extern const std::array<FormatRecogniser, kRecogniserCount> kFormatRecognisers;

// The recognisers, one per file in formats/.
bool FileFormat_RecognizeTrueType(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeCompound(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeChm(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeHlp(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeRiff(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeExe(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeBmp(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeJpeg(FormatReader& reader, FormatResult& out) noexcept;
/// The JPEG recogniser's marker walk alone, scans not decoded (a quick first test).
bool FileFormat_WalkJpeg(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeZip(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeRar(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeGif(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizePng(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeIcon(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizePdf(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeAsf(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeCab(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeTar(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeQuickTime(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeFlash(FormatReader& reader, FormatResult& out) noexcept;
bool FileFormat_RecognizeText(FormatReader& reader, FormatResult& out) noexcept;

/// Runs the detector over @p reader from its start: the first recogniser whose signature matches
/// and that accepts decides. True with @p out filled when a format with identifier > 0 was found.
/// With @p withText false the text recogniser is not tried (inside a file already found whole).
[[nodiscard]] bool FileFormat_DetectIn(FormatReader& reader, FormatResult& out,
                                       bool withText = true) noexcept;
/// The same over bytes in memory (tests, fuzzers, the file-system scanners' own buffers).
[[nodiscard]] bool FileFormat_DetectBytes(std::span<const std::uint8_t> window,
                                          FormatResult& out) noexcept;
/// The detector over an ExtentReader whose extents are the data to examine (a free run, or a
/// listed file's clusters). On a hit @p note gets "Found by Deep Scan" (static text); when nothing
/// accepts, the reader's first chunk is dropped and the result is false (identifier 0).
[[nodiscard]] bool FileFormat_Detect(ExtentReader* reader, std::uint32_t* identifier,
                                     std::uint32_t* completeness, std::uint64_t* length,
                                     const char** note) noexcept;

/// What a content check says about the bytes of a whole file.
enum class FormatVerdict : std::uint8_t {
  Unknown,  // no format with a content check starts there
  Broken,   // the structure breaks (or the data ends) before the file's end marker
  Valid,    // the structure, and its checksums where it has them, hold to the end marker
};
struct FormatCheck {
  std::uint32_t identifier = kFmtNone;
  FormatVerdict verdict = FormatVerdict::Unknown;
  std::uint64_t good = 0;  // bytes from the start that held before the structure broke
};
/// What decoding a JPEG's entropy-coded data found.
enum class JpegDecode : std::uint8_t {
  Whole,        // every scan filled exactly the frame's blocks, up to the end-of-image marker
  Broken,       // the data stops being this image's (or ends) before the end-of-image marker
  Unsupported,  // arithmetic, lossless or hierarchical coding, a height given after the scan
};
/// Huffman-decodes every scan of the JPEG at the start of @p data (baseline, extended and
/// progressive), coefficients discarded. @p end: past the end-of-image marker when Whole; when
/// Broken, about where the block group (MCU) or the segment that failed starts, or the data's
/// size when the data ends (no marker) before the image does: a short file, not a broken one.
[[nodiscard]] JpegDecode FileFormat_DecodeJpeg(std::span<const std::uint8_t> data,
                                               std::uint64_t& end) noexcept;

/// True when @p head starts a format that FileFormat_Validate can confirm or break.
[[nodiscard]] bool FileFormat_CanValidate(std::span<const std::uint8_t, 16> head) noexcept;
/// Checks @p data as a whole file of the format its first bytes name, with the format's own
/// integrity checks (entropy-coded data and markers of JPEG, chunk CRCs of PNG, member CRCs and
/// the central directory of ZIP, cross-reference offsets of PDF, ...). Valid needs the structure
/// to end at the data's end (zero bytes after it are slack). Without @p decode, JPEG scans are
/// only walked for their markers (a quick test before the full one). Always true.
bool FileFormat_Validate(std::span<const std::uint8_t> data, FormatCheck& out,
                         bool decode = true) noexcept;

/// Extension check of a listed file. @p name is the file's NUL-terminated UTF-16 name, still in
/// the caller's buffer of @p nameCapacity units; @p identifier is what the detector found (0 for
/// none). When the name's extension names another format: the record's note becomes the
/// detected format's note (or "File extension doesn't match contents." when nothing was
/// detected), its state Bad (existing bit kept), and with @p rename the detected extension is
/// appended to @p name when it fits. Notes are stored through @p u. Always true.
bool FileFormat_CheckExtension(FileRecord* record, std::uint32_t identifier, bool rename,
                               Undelete* u, char16_t* name, std::size_t nameCapacity) noexcept;

/// Scans the free runs of the current drive's used-sector map by content from sector
/// u->deepScanResume on, listing each find under "Files by content" with progress between
/// @p progressFrom and @p progressTo. False only when the drive has no used-sector map.
bool FileFormat_ScanHole(Undelete* u, std::uint32_t progressFrom,
                         std::uint32_t progressTo) noexcept;

/// Folder indexes the deep scan keeps per drive (in the engine's per-drive scanner scratch, which
/// the search thread fills with all-ones bytes at the start of each drive): slot 0 is "Files by
/// content", slot i the folder of format i.
inline constexpr std::size_t kDeepScanFolderSlots = kFormatCount + 1;
