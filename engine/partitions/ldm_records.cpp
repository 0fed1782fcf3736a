// Dynamic-disk database records: the walk over the VBLKs and the three records of a simple
// volume (the layouts libldm and the Linux kernel read: volume revision 5, component and
// partition revision 3).
#include "partitions/ldm_records.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "partitions/ldm_fields.h"

namespace {

constexpr std::uint8_t kTypeVolume = 0x51, kTypeComponent = 0x32, kTypePartition = 0x33;
constexpr std::uint8_t kVolumeHasHint = 0x02;  // header flag: a drive-letter hint ends the record

/// The volume fields after the name: its number and drive-letter hint.
void readVolume(VblkFields& f, std::uint8_t headFlags, LdmDatabase& db) {
  char skipped[256];
  std::uint8_t number = 0;
  std::uint64_t children = 0, size = 0;
  // Type ("gen"), an unknown text, the 14-byte state, the type code and an unknown byte; the
  // number; three zeros and the flags.
  if (!f.text(skipped, sizeof skipped) || !f.text(skipped, sizeof skipped) || !f.skip(14 + 2) ||
      !f.bytes(&number, 1) || !f.skip(3 + 1))
    return void(++db.corrupt);
  db.volumeNumbers.insert(number);
  // Children, commit id, another id, size, zeros, partition type, GUID.
  if (!f.number(children) || !f.skip(16) || !f.number(size) || !f.skip(4 + 1 + 16))
    return void(++db.corrupt);
  if ((headFlags & 0x08) != 0 && !f.text(skipped, sizeof skipped)) return void(++db.corrupt);
  if ((headFlags & 0x20) != 0 && !f.text(skipped, sizeof skipped)) return void(++db.corrupt);
  if ((headFlags & 0x80) != 0 && !f.number(size)) return void(++db.corrupt);
  char hint[8] = {};
  if ((headFlags & kVolumeHasHint) == 0) return;
  if (!f.text(hint, sizeof hint)) return void(++db.corrupt);
  const char letter = static_cast<char>(hint[0] & ~0x20);
  if (letter >= 'A' && letter <= 'Z') db.lettersHinted |= 1u << (letter - 'A');
}

/// N of "VolumeN" (digits only, no leading zero), nothing for other names.
std::optional<std::uint32_t> volumeNumberOf(const char* name) {
  if (std::strncmp(name, "Volume", 6) != 0 || name[6] < '1' || name[6] > '9') return {};
  std::uint32_t n = 0;
  for (const char* p = name + 6; *p != 0; ++p) {
    if (*p < '0' || *p > '9' || n > 100000) return {};
    n = n * 10 + static_cast<std::uint32_t>(*p - '0');
  }
  return n;
}

/// Appends the fields of a record in the database's encodings.
class RecordWriter {
 public:
  /// Length-prefixed big-endian number, as few bytes as it needs (one for 0).
  void number(std::uint64_t v) {
    std::uint8_t n = 1;
    while (n < 8 && (v >> (8 * n)) != 0) ++n;
    m_out.push_back(n);
    for (std::uint8_t i = n; i-- > 0;) m_out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  /// Sizes: past 32 bits the published format wants all eight bytes, never five to seven.
  void size(std::uint64_t v) {
    if ((v >> 32) == 0) return number(v);
    m_out.push_back(8);
    be64(v);
  }
  void text(const std::string& s) {
    m_ok = m_ok && s.size() <= 255;  // one length byte
    m_out.push_back(static_cast<std::uint8_t>(s.size()));
    m_out.insert(m_out.end(), s.begin(), s.end());
  }
  void be64(std::uint64_t v) {
    for (int i = 7; i >= 0; --i) m_out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void byte(std::uint8_t b) { m_out.push_back(b); }
  void zeros(std::size_t n) { m_out.insert(m_out.end(), n, 0); }
  void bytes(const std::uint8_t* p, std::size_t n) { m_out.insert(m_out.end(), p, p + n); }
  [[nodiscard]] const std::vector<std::uint8_t>& data() const { return m_out; }
  [[nodiscard]] bool ok() const { return m_ok; }

 private:
  std::vector<std::uint8_t> m_out;
  bool m_ok = true;
};

/// One record in one block: the block's signature and sequence number stay, the rest is the
/// record (one fragment) and zeros. False when the record does not fit.
bool putRecord(std::span<std::uint8_t> block, std::uint32_t recordId, std::uint8_t flags,
               std::uint8_t type, const std::vector<std::uint8_t>& data) {
  if (block.size() < sizeof(LdmVblkHead) || data.size() > block.size() - sizeof(LdmVblkHead))
    return false;
  LdmVblkHead h;
  std::memcpy(&h, block.data(), sizeof h);
  h.group.set(recordId);
  h.record.set(0);
  h.recordCount.set(1);
  h.status.set(0);
  h.flags = flags;
  h.recordType = type;
  h.size.set(static_cast<std::uint32_t>(data.size()));
  std::fill(block.begin() + 8, block.end(), std::uint8_t{0});
  std::memcpy(block.data(), &h, sizeof h);
  std::copy(data.begin(), data.end(), block.begin() + sizeof h);
  return true;
}

/// The lowest value from @p from on that @p used lacks, if it is at most @p last.
template <class T>
std::optional<T> lowestFree(const std::set<T>& used, T from, T last) {
  for (T v = from; v <= last; ++v) {
    if (used.count(v) == 0) return v;
    if (v == last) break;
  }
  return std::nullopt;
}

}  // namespace

void Ldm_ReadDatabase(ByteSpan area, std::uint32_t vblkSize, LdmDatabase& out) {
  out = LdmDatabase{};
  if (vblkSize < sizeof(LdmVblkHead)) return;
  const std::size_t count = std::min<std::size_t>(area.size() / vblkSize, kLdmMaxBlocks);
  for (std::size_t i = 0; i < count; ++i) {
    const ByteSpan block = area.subspan(i * vblkSize, vblkSize);
    ByteReader r(block);
    const auto h = r.read<LdmVblkHead>();
    if (!h || std::memcmp(h->signature, "VBLK", 4) != 0) break;
    out.blocks = static_cast<std::uint32_t>(i + 1);
    if (h->group.get() == 0) {
      out.freeBlocks.push_back(static_cast<std::uint32_t>(i));
      continue;
    }
    out.recordIds.insert(h->group.get());
    if (h->record.get() != 0) continue;  // a later fragment: its first one names the record
    VblkFields f(block, sizeof(LdmVblkHead));
    std::uint64_t id = 0;
    char name[256] = {};  // whole: names are compared, and a length byte says at most 255
    if (!f.number(id) || !f.text(name, sizeof name)) {
      ++out.corrupt;
      continue;
    }
    out.objectIds.insert(id);
    switch (h->recordType & 0x0F) {
      case 1:
        if (const auto n = volumeNumberOf(name)) out.volumeNames.insert(*n);
        readVolume(f, h->flags, out);
        break;
      case 3:
        out.partitionNames.insert(name);
        break;
      case 4: {
        LdmVblk d;
        LdmDiskRecord rec{id, name, {}, false};
        if (Ldm_ParseVblk(block, d) == Parse::Ok && d.kind == LdmVblk::Kind::Disk) {
          rec.guid = d.diskGuid;
          rec.hasGuid = d.hasDiskGuid;
        }
        out.disks.push_back(std::move(rec));
        break;
      }
      case 5:
        out.groupId = id;
        break;
      default:
        break;
    }
  }
}

bool Ldm_AddVolume(std::span<std::uint8_t> area, std::uint32_t vblkSize, const LdmDatabase& db,
                   const LdmNewVolume& v, LdmAdded& out) {
  if (v.disk == nullptr || db.freeBlocks.size() < 3 || vblkSize < sizeof(LdmVblkHead)) return false;
  for (std::size_t k = 0; k < 3; ++k) {
    const std::uint64_t end = (std::uint64_t{db.freeBlocks[k]} + 1) * vblkSize;
    if (end > area.size()) return false;
    out.blocks[k] = db.freeBlocks[k];
  }
  // Record ids from 3 (the group and the first disk hold the lowest), object ids after the disk
  // group's own, as the disk manager numbers every object of its group.
  std::set<std::uint32_t> records = db.recordIds;
  std::set<std::uint64_t> objects = db.objectIds;
  std::array<std::uint32_t, 3> recordId{};
  std::array<std::uint64_t, 3> objectId{};
  for (std::size_t k = 0; k < 3; ++k) {
    const auto r = lowestFree<std::uint32_t>(records, 3, 0xFFFFFFFFu);
    const auto o = lowestFree<std::uint64_t>(
        objects, std::min<std::uint64_t>(db.groupId, 0xFFFF) + 1, 0xFFFFFFFFu);
    if (!r || !o) return false;
    records.insert(recordId[k] = *r);
    objects.insert(objectId[k] = *o);
  }
  const auto name = lowestFree<std::uint32_t>(db.volumeNames, 1, 99999);
  if (!name) return false;
  // The volume's own number: its name's when no other volume has that one.
  const auto number = *name <= 255 && db.volumeNumbers.count(*name) == 0
                          ? std::optional<std::uint32_t>(*name)
                          : lowestFree<std::uint32_t>(db.volumeNumbers, 1, 255);
  if (!number) return false;
  out.volumeName = "Volume" + std::to_string(*name);
  out.partitionName.clear();
  for (unsigned n = 1; n < 100 && out.partitionName.empty(); ++n) {
    const std::string part = v.disk->name + (n < 10 ? "-0" : "-") + std::to_string(n);
    if (db.partitionNames.count(part) == 0) out.partitionName = part;
  }
  if (out.partitionName.empty()) return false;
  out.hint = 0;
  for (char c = 'C'; c <= 'Z' && out.hint == 0; ++c)
    if ((db.lettersHinted & (1u << (c - 'A'))) == 0) out.hint = c;

  RecordWriter vol;
  vol.number(objectId[0]);
  vol.text(out.volumeName);
  vol.text("gen");
  vol.text("");
  vol.bytes(reinterpret_cast<const std::uint8_t*>("ACTIVE"), 6);
  vol.zeros(14 - 6);
  vol.byte(3);  // type code: a plain ("gen") volume
  vol.byte(1);
  vol.byte(static_cast<std::uint8_t>(*number));
  vol.zeros(3);
  vol.byte(0x11);
  vol.number(1);  // one component
  vol.be64(v.commitId);
  vol.be64(v.commitId);
  vol.size(v.sizeSectors);
  vol.zeros(4);
  vol.byte(0x07);
  vol.bytes(v.volumeGuid.data(), v.volumeGuid.size());
  if (out.hint != 0) vol.text(std::string{out.hint, ':'});

  RecordWriter comp;
  comp.number(objectId[1]);
  comp.text(out.volumeName + "-01");
  comp.text("ACTIVE");
  comp.byte(2);  // concatenated: the one partition is the volume
  comp.zeros(4);
  comp.number(1);  // one partition
  comp.be64(v.commitId);
  comp.zeros(8);
  comp.number(objectId[0]);
  comp.zeros(1);

  RecordWriter part;
  part.number(objectId[2]);
  part.text(out.partitionName);
  part.zeros(4);
  part.be64(v.commitId);
  part.be64(v.startSector);
  part.be64(0);  // offset in the volume
  part.size(v.sizeSectors);
  part.number(objectId[1]);
  part.number(v.disk->objectId);

  // Built aside: a record that does not fit leaves the database as it was.
  std::vector<std::uint8_t> blocks(std::size_t{3} * vblkSize);
  const auto at = [&](std::size_t k) {
    return std::span<std::uint8_t>(blocks).subspan(k * vblkSize, vblkSize);
  };
  for (std::size_t k = 0; k < 3; ++k)
    std::copy_n(area.begin() + static_cast<std::ptrdiff_t>(std::size_t{out.blocks[k]} * vblkSize),
                vblkSize, at(k).begin());
  if (!vol.ok() || !comp.ok() || !part.ok() ||
      !putRecord(at(0), recordId[0], out.hint != 0 ? kVolumeHasHint : 0, kTypeVolume, vol.data()) ||
      !putRecord(at(1), recordId[1], 0x00, kTypeComponent, comp.data()) ||
      !putRecord(at(2), recordId[2], 0x40, kTypePartition, part.data()))
    return false;
  for (std::size_t k = 0; k < 3; ++k)
    std::copy(at(k).begin(), at(k).end(),
              area.begin() + static_cast<std::ptrdiff_t>(std::size_t{out.blocks[k]} * vblkSize));
  return true;
}

bool Ldm_CountNewVolume(std::span<std::uint8_t> sector) noexcept {
  ByteReader r(sector);
  auto vmdb = r.read<LdmVmdb>();
  if (!vmdb || std::memcmp(vmdb->signature, "VMDB", 4) != 0) return false;
  for (int i = 0; i < 3; ++i) {
    vmdb->committedCounts[i].set(vmdb->committedCounts[i].get() + 1);
    vmdb->pendingCounts[i].set(vmdb->pendingCounts[i].get() + 1);
  }
  std::memcpy(sector.data(), &*vmdb, sizeof *vmdb);
  return true;
}
