// Pure parsing of NTFS boot sectors and MFT file records: bytes in, values out.
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/checked.h"
#include "core/reader.h"
#include "core/text.h"
#include "ntfs/ntfs.h"
#include "undelete/undelete.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kMaxKeptRunList = 8192;  // longer lists are not kept (file listed without)
constexpr std::uint32_t kMaxNameUnits = 2048;
constexpr std::uint32_t kContentAt = 0x18;  // resident $STANDARD_INFORMATION / $FILE_NAME content

std::uint8_t attributeLetters(std::uint32_t a) noexcept {
  std::uint8_t r = 0;
  if (a & kNtfsFileArchive) r |= kAttrArchive;
  if (a & kNtfsFileReadOnly) r |= kAttrReadOnly;
  if (a & kNtfsFileHidden) r |= kAttrHidden;
  if (a & kNtfsFileSystem) r |= kAttrSystem;
  if (a & kNtfsFileCompressed) r |= kAttrCompressed;
  if (a & kNtfsFileEncrypted) r |= kAttrEncrypted;
  return r;
}

void readName(std::span<const std::uint8_t> bytes, std::u16string& out) {
  out = Text_Utf16Le(bytes.data(), bytes.size() / 2);
}

/// The attribute's bytes [0, length) inside the record.
void parseStandardInformation(std::span<const std::uint8_t> attr, NtfsParsedRecord& out) {
  ByteReader r(attr);
  if (!r.seek(kContentAt)) return;
  const auto si = r.read<NtfsStandardInformation>();
  if (!si) return;
  out.attributes = attributeLetters(si->fileAttributes.get());
  // These are the times the system keeps current; $FILE_NAME's are mostly those of the
  // creation or the last rename, so they only stand in when this attribute is missing.
  out.created = si->created.get();
  out.modified = si->modified.get();
  out.accessed = si->accessed.get();
  out.hasStandardInformation = true;
}

void parseFileName(std::span<const std::uint8_t> attr, NtfsParsedRecord& out) {
  ByteReader r(attr);
  if (!r.seek(kContentAt)) return;
  const auto fn = r.read<NtfsFileNameAttr>();
  if (!fn) return;
  out.parent = fn->parent.get();
  if (out.hasFileName && fn->nameSpace == kNtfsNameSpaceDos) return;
  const auto name = r.bytes(std::size_t{fn->nameLength} * 2);
  if (!name) return;
  out.hasFileName = true;
  if (fn->nameLength < kMaxNameUnits) readName(*name, out.name);
  if (out.hasStandardInformation) return;
  out.created = fn->created.get();
  out.modified = fn->modified.get();
  out.accessed = fn->accessed.get();
}

/// The engine's data flags of a non-resident $DATA attribute: its compression unit when it is
/// compressed, and whether it is encrypted.
std::uint32_t dataFlagsOf(std::uint16_t attrFlags, std::uint32_t compressionUnit) noexcept {
  // Sparse data carries a compression unit too (with the sparse flag, not the compressed one);
  // reading it as LZNT1 would garble it, so the unit counts only for compressed attributes.
  std::uint32_t flags = (attrFlags & kNtfsAttrFlagCompressed) ? compressionUnit : 0;
  if (attrFlags & kNtfsAttrFlagEncrypted) flags |= kNtfsDataEncrypted;
  return flags;
}

void parseData(std::span<const std::uint8_t> attr, std::size_t attrOffset, std::size_t recordSize,
               NtfsParsedRecord& out) {
  ByteReader r(attr);
  const auto common = r.read<NtfsAttrHeader>();
  if (!common) return;
  const std::size_t length = attr.size();
  if (common->nameLength != 0) {
    std::u16string name;
    ByteReader nr(attr);
    if (!nr.seek(common->nameOffset.get())) return;
    const auto nameBytes = nr.bytes(std::size_t{common->nameLength} * 2);
    if (!nameBytes) return;
    readName(*nameBytes, name);
    if (out.streams.size() <= out.streamCount) out.streams.emplace_back();
    NtfsParsedStream& s = out.streams[out.streamCount];
    s.name = std::move(name);
    s.size = 0;
    s.runListLength = 0;
    s.dataFlags = 0;
    s.data.clear();
    if (common->nonResident == 0) {
      ByteReader rr(attr);
      const auto res = rr.read<NtfsResidentAttr>();
      if (!res) return;
      const std::size_t cl = res->contentLength.get(), co = res->contentOffset.get();
      if (!fitsIn<std::size_t>(co, cl, length)) return;
      s.data.assign(attr.begin() + static_cast<std::ptrdiff_t>(co),
                    attr.begin() + static_cast<std::ptrdiff_t>(co + cl));
      s.size = static_cast<std::uint32_t>(cl);
    } else {
      ByteReader nrr(attr);
      const auto nonres = nrr.read<NtfsNonResidentAttr>();
      if (!nonres) return;
      const std::size_t ro = nonres->runListOffset.get();
      if (ro >= length) return;
      const auto rl = static_cast<std::uint32_t>(length - ro);
      if (rl > kMaxKeptRunList) return;
      s.data.assign(attr.begin() + static_cast<std::ptrdiff_t>(ro), attr.end());
      // The stream's own length, not the run list's: without it a recovered stream would be cut
      // or padded to the length of the unnamed data.
      const std::uint64_t real = nonres->dataSize.get();
      s.size = real > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(real);
      s.runListLength = rl;
      // Each stream is compressed or not on its own, whatever the unnamed data is.
      s.dataFlags = dataFlagsOf(common->flags.get(), nonres->compressionUnit.get());
    }
    ++out.streamCount;
    return;
  }
  if (common->nonResident != 0) {
    ByteReader vr(attr);
    const auto nr = vr.read<NtfsNonResidentAttr>();
    if (nr && nr->lowestVcn.get() != 0) {
      // A later extent of data whose start lives in another record (behind an attribute list).
      const std::size_t ro = nr->runListOffset.get();
      if (ro >= length) return;
      out.laterExtents.push_back(
          {nr->lowestVcn.get(), nr->highestVcn.get(),
           Bytes(attr.begin() + static_cast<std::ptrdiff_t>(ro), attr.end())});
      return;
    }
  }
  if (out.size != 0) return;
  if (common->nonResident == 0) {
    ByteReader rr(attr);
    const auto res = rr.read<NtfsResidentAttr>();
    if (!res) return;
    const std::size_t cl = res->contentLength.get(), co = res->contentOffset.get();
    if (cl == 0 || cl > recordSize - attrOffset || co >= cl + 24) return;
    if (!fitsIn<std::size_t>(co, cl, length)) return;  // the content must lie in the attribute
    out.data.assign(attr.begin() + static_cast<std::ptrdiff_t>(co),
                    attr.begin() + static_cast<std::ptrdiff_t>(co + cl));
    out.dataLength = static_cast<std::uint32_t>(cl);
    out.runListLength = 0;
    out.size = cl;
    return;
  }
  ByteReader nrr(attr);
  const auto nonres = nrr.read<NtfsNonResidentAttr>();
  if (!nonres) return;
  out.size = nonres->dataSize.get();
  out.dataHighestVcn = nonres->highestVcn.get();
  out.dataFlags = dataFlagsOf(common->flags.get(), nonres->compressionUnit.get());
  if (out.dataFlags & kNtfsDataCompressed) out.attributes |= kAttrCompressed;
  if (out.dataFlags & kNtfsDataEncrypted) out.attributes |= kAttrEncrypted;
  const std::size_t ro = nonres->runListOffset.get();
  if (ro >= length) return;
  const auto rl = static_cast<std::uint32_t>(length - ro);
  out.runListLength = rl;
  if (rl <= kMaxKeptRunList) {
    out.data.assign(attr.begin() + static_cast<std::ptrdiff_t>(ro), attr.end());
    out.dataLength = rl;
  }
}

}  // namespace

Parse NTFS_ParseBootSector(std::span<const std::uint8_t> sector, NtfsBootGeometry& out) noexcept {
  ByteReader r(sector);
  const auto boot = r.read<NtfsBootSector>();
  if (!boot) return Parse::NotThis;
  for (int i = 0; i < 4; ++i) {
    const char c = boot->oemName[i];
    const char want = "NTFS"[i];
    if (c != want && c != want + ('a' - 'A')) return Parse::NotThis;
  }
  if (boot->fatCount != 0) return Parse::NotThis;
  const std::uint32_t bps = boot->bytesPerSector.get();
  const std::uint32_t spc = boot->sectorsPerCluster;
  // A sector size that is no power of two from 256 up, or no cluster size, can describe nothing
  // readable: everything after divides by them.
  if (bps < 256 || bps > 4096 || !std::has_single_bit(bps) || spc == 0) return Parse::NotThis;
  const std::uint32_t cluster = bps * spc;
  const auto cpr = static_cast<std::int8_t>(boot->clustersPerRecord);
  std::uint32_t recordBytes = 0;
  if (cpr < 0) {
    if (cpr < -31) return Parse::NotThis;
    recordBytes = 1u << static_cast<unsigned>(-cpr);
  } else {
    const auto b = checkedMul<std::uint32_t>(static_cast<std::uint32_t>(cpr), cluster);
    if (!b) return Parse::NotThis;
    recordBytes = *b;
  }
  if (recordBytes < 256 || recordBytes > 65536) return Parse::NotThis;
  out = {bps, cluster, recordBytes, boot->mftCluster.get(), boot->mirrorCluster.get()};
  return Parse::Ok;
}

Parse NTFS_ParseFileRecord(std::span<std::uint8_t> record, NtfsParsedRecord& out) noexcept {
  out.hasFileName = false;
  out.recordNumber = out.baseRecord = 0;
  out.recordFlags = 0;
  out.name.clear();
  out.streamCount = 0;
  out.data.clear();
  out.dataFlags = out.dataLength = out.runListLength = 0;
  out.attributes = 0;
  out.parent = 0;
  out.created = out.modified = out.accessed = 0;
  out.hasStandardInformation = false;
  out.size = 0;
  out.attributeList = false;
  out.dataHighestVcn = 0;
  out.laterExtents.clear();
  ByteReader r(record);
  const auto header = r.read<NtfsRecordHeader>();
  if (!header) return Parse::NotThis;
  if (std::memcmp(header->magic, "FILE", 4) != 0) return Parse::NotThis;
  if (!NTFS_ApplyFixup(record, kNtfsFixupStride)) return Parse::Corrupt;
  const auto h = *ByteReader(record).read<NtfsRecordHeader>();  // re-read after the fix-up
  out.recordNumber = h.recordNumber.get();
  out.baseRecord = h.baseRecord.get();
  out.recordFlags = h.flags.get();
  const std::size_t size = record.size();
  std::size_t at = h.attributesOffset.get();
  if (at + 16 >= size) return Parse::Corrupt;
  bool first = true;
  try {
    while (at < size) {
      if (!fitsIn<std::size_t>(at, sizeof(NtfsAttrHeader), size)) break;
      const auto head = layoutAt<NtfsAttrHeader>(record.data() + at);
      const std::uint32_t type = head.type.get();
      const std::uint32_t length = head.length.get();
      if (first && type == 0) return Parse::Corrupt;
      first = false;
      if (type == kNtfsAttrEnd || length == 0) break;
      // An attribute that runs past the record is damaged: stop before reading it.
      if (!fitsIn<std::size_t>(at, length, size)) break;
      const auto attr = std::span<const std::uint8_t>(record.data() + at, length);
      const bool resident = head.nonResident == 0;
      switch (type) {
        case kNtfsAttrStandardInformation:
          if (resident) parseStandardInformation(attr, out);
          break;
        case kNtfsAttrFileName:
          if (resident) parseFileName(attr, out);
          break;
        case kNtfsAttrData:
          parseData(attr, at, size, out);
          break;
        case kNtfsAttrAttributeList:
          out.attributeList = true;
          break;
        default:
          break;
      }
      at += length;
    }
  } catch (...) {  // allocation failure while copying: the record is not taken
    return Parse::Corrupt;
  }
  return out.hasFileName ? Parse::Ok : Parse::Corrupt;
}

namespace {

void putRun(Bytes& out, std::uint64_t length, std::int64_t delta, bool sparse) {
  std::uint8_t len[9], off[9];
  std::size_t ls = 0, os = 0;
  // Minimal widths that keep the sign: lengths are positive, deltas signed.
  do {
    len[ls++] = static_cast<std::uint8_t>(length);
    length >>= 8;
  } while (length != 0 || (len[ls - 1] & 0x80u) != 0);
  if (!sparse) {
    std::int64_t v = delta;
    while (true) {
      off[os++] = static_cast<std::uint8_t>(v);
      const std::int64_t rest = v >> 8;
      const bool top = (off[os - 1] & 0x80u) != 0;
      if ((rest == 0 && !top) || (rest == -1 && top) || os == 8) break;
      v = rest;
    }
  }
  out.push_back(static_cast<std::uint8_t>((os << 4) | ls));
  out.insert(out.end(), len, len + ls);
  out.insert(out.end(), off, off + os);
}

}  // namespace

bool NTFS_JoinRunLists(const std::vector<NtfsParsedRecord::Extent>& extents, Bytes& out) {
  out.clear();
  std::uint64_t nextVcn = 0, previous = 0;
  for (const auto& e : extents) {
    if (e.lowestVcn != nextVcn || e.highestVcn < e.lowestVcn) return false;
    RunCursor cursor;
    cursor.load(e.runList);
    std::uint64_t first = 0, count = 0, clusters = 0;
    bool sparse = false;
    while (cursor.nextRun(&first, &count, &sparse)) {
      putRun(out, count, static_cast<std::int64_t>(first - previous), sparse);
      if (!sparse) previous = first;
      clusters += count;
    }
    if (cursor.corrupt() || clusters != e.highestVcn - e.lowestVcn + 1) return false;
    nextVcn = e.highestVcn + 1;
  }
  out.push_back(0);
  return true;
}
