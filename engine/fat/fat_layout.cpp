// The FAT layout model: which clusters hold each listed file's data (see fat_layout.h).
#include "fat/fat_layout.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <numeric>
#include <span>
#include <unordered_map>

#include "core/cached_drive.h"
#include "core/log.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "deepscan/deepscan.h"
#include "fat/fat.h"

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint32_t kMeta = 0xFFFFFFFEu;  // allocated, but no listed live file owns it
constexpr std::uint32_t kDeepScanLocator = 0xFFFFFFFFu;
constexpr std::uint32_t kMaxRounds = 32;
constexpr std::uint64_t kMaxCheckBytes = 64ull << 20;

struct View {
  std::uint32_t index = 0;  // file record index
  std::uint32_t locator = 0;
  std::uint64_t size = 0;
  std::uint64_t modified = 0;
  std::uint32_t first = 0;
  bool existing = false;
  std::uint64_t birth = 0;      // creation time, or the write time where none is kept (FAT12)
  std::uint64_t lastWrite = 0;  // write time, or the creation time where none is kept
};

bool viewOf(const Undelete* u, std::uint32_t index, const CachedDrive* drive, View& v) noexcept {
  const FileRecord* r = Storage_File(u, index);
  if (r == nullptr || ((r->location.get() >> 12) & 7u) != kKindFat) return false;
  if (r->fsIndex.get() != drive->fsCurrent || r->volumeOffset.get() != drive->windowStart)
    return false;
  const auto* loc = static_cast<const std::uint8_t*>(Storage_Block(u, r->locator.get(), 4));
  if (loc == nullptr) return false;
  v.first = loadLe<std::uint32_t>(loc);
  if (v.first == kDeepScanLocator) return false;
  v.index = index;
  v.locator = r->locator.get();
  v.size = r->size.get() & 0xFFFFFFFFull;
  v.existing = (r->status & kStatusExisting) != 0;
  v.modified = r->modified.get();
  const std::uint64_t c = r->created.get();
  v.birth = c != 0 ? c : v.modified;
  v.lastWrite = v.modified != 0 ? v.modified : c;
  return true;
}

void addCluster(std::vector<FatRun>& runs, std::uint32_t c) {
  if (!runs.empty() && runs.back().first + runs.back().count == c) {
    ++runs.back().count;
  } else {
    runs.push_back({c, 1});
  }
}

void noteOverwritten(FatLayout& l, std::uint32_t by) noexcept {
  if (l.overwritten < 3) l.firstOverwritten[l.overwritten] = l.total;
  if (l.overwritten == 0 && by < kMeta) l.overwrittenBy = by;
  ++l.overwritten;
}

}  // namespace

class FatModel {
 public:
  FatModel(const Undelete* u, const CachedDrive* drive, const FatGeometry& g)
      : m_u(u), m_drive(drive), m_g(g) {}

  bool build(Undelete* u, CachedDrive* drive, std::uint32_t firstFile, std::uint32_t endFile,
             bool markMap, bool pollCancel);
  [[nodiscard]] const FatLayout* layoutOf(std::uint32_t index) const noexcept {
    const auto it = m_byIndex.find(index);
    return it == m_byIndex.end() ? nullptr : &m_layouts[it->second];
  }
  /// True when the model was built for this engine's @p drive and its selected file system.
  [[nodiscard]] bool builtFor(const Undelete* u, const CachedDrive* drive) const noexcept {
    return u == m_u && drive == m_drive && drive->fsCurrent == m_fs &&
           drive->windowStart == m_volumeOffset;
  }
  /// The layout of @p record (the engine's or a copy of it) when the model holds the record as it
  /// is: same locator, first cluster, size and write time.
  [[nodiscard]] const FatLayout* layoutOfRecord(const Undelete* u,
                                                const FileRecord* record) const noexcept {
    const auto it = m_byLocator.find(record->locator.get());
    if (it == m_byLocator.end()) return nullptr;
    const View& v = m_views[it->second];
    const auto* loc = static_cast<const std::uint8_t*>(Storage_Block(u, record->locator.get(), 4));
    if (loc == nullptr || loadLe<std::uint32_t>(loc) != v.first ||
        v.size != (record->size.get() & 0xFFFFFFFFull) || v.modified != record->modified.get())
      return nullptr;
    return &m_layouts[it->second];
  }
  /// Drops what only the build needs (per-cluster maps).
  void shrink() noexcept {
    std::vector<std::uint32_t>().swap(m_live);
    std::vector<std::uint32_t>().swap(m_held);
    std::vector<std::uint64_t>().swap(m_span);
    std::vector<std::vector<std::uint32_t>>().swap(m_passed);
  }

 private:
  [[nodiscard]] bool olderOrTogether(const View& other, const View& a) const noexcept {
    return other.birth <= a.lastWrite;  // other existed while a was last written
  }
  void walkLive(std::size_t i, CachedDrive* drive, bool markMap, bool pollCancel);
  FatLayout walkDeleted(std::size_t i, std::vector<std::uint32_t>& claims,
                        std::vector<std::uint32_t>& passed, bool takeHeld = false) const;
  bool chainOf(const View& v, FatLayout& l) const;
  /// The clusters a deleted file would have after its first had it been written around everything
  /// the volume holds now (live files, structures, other deleted files' first clusters, clusters
  /// of older deleted files).
  void walkAround(std::size_t i, const std::vector<bool>& firstOfDeleted,
                  std::vector<std::uint32_t>& claims) const;
  [[nodiscard]] bool better(std::size_t a, std::size_t b) const noexcept;
  /// Marks walks that may read the data of a file whose own walk is uncertain (@p cover is
  /// scratch space).
  void unplacedTails(const std::vector<std::size_t>& deleted, std::vector<std::uint32_t>& cover);
  void checkContent(std::size_t i, CachedDrive* drive);
  bool readLayout(CachedDrive* drive, const std::vector<FatRun>& runs, std::uint64_t bytes,
                  std::vector<std::uint8_t>& out) const;
  bool searchSecondFragment(std::size_t i, CachedDrive* drive, std::uint64_t brokeAt,
                            std::vector<std::uint8_t>& data);
  [[nodiscard]] bool freeForGap(std::uint32_t c, std::size_t self) const noexcept {
    return m_live[c] == kNone && (m_held[c] == kNone || m_held[c] == self);
  }

  const Undelete* m_u;
  const CachedDrive* m_drive;
  FatGeometry m_g;
  std::uint32_t m_fs = 0;
  std::uint64_t m_volumeOffset = 0;
  std::vector<View> m_views;
  std::vector<FatLayout> m_layouts;
  std::unordered_map<std::uint32_t, std::size_t> m_byIndex;
  std::unordered_map<std::uint32_t, std::size_t> m_byLocator;  // locator string ref -> view
  std::vector<std::uint32_t> m_live;  // per cluster: live owner (view position), kMeta or kNone
  std::vector<std::uint32_t> m_held;  // per cluster: deleted holder (view position) or kNone
  std::vector<std::uint64_t> m_span;  // per view: last claimed cluster - first cluster
  std::vector<std::vector<std::uint32_t>> m_passed;  // per view: deleted files its walk passed
};

void FatModel::walkLive(std::size_t i, CachedDrive* drive, bool markMap, bool pollCancel) {
  const View& f = m_views[i];
  FatLayout& l = m_layouts[i];
  std::uint64_t left = f.size;
  std::uint32_t c = f.first, last = 0;
  std::uint64_t step = 0;
  bool haveLast = false;
  auto visit = [&](std::uint32_t cl) {
    if (markMap)
      (void)CachedDrive_SetMapRange(drive, FAT_ClusterSector(m_g, cl), m_g.sectorsPerCluster);
    if (m_live[cl] == kNone || m_live[cl] == kMeta) m_live[cl] = static_cast<std::uint32_t>(i);
    addCluster(l.runs, cl);
    ++l.total;
    left = left > m_g.clusterBytes ? left - m_g.clusterBytes : 0;
  };
  while (c >= 2 && c < m_g.clusterLimit && step <= m_g.clusterLimit) {
    if (pollCancel && (step & 127) == 0 && m_u->totalCancelEvent.isSet()) return;
    ++step;
    visit(c);
    last = c;
    haveLast = true;
    std::uint32_t next = 0;
    if (!FAT_TableEntry(m_g, c, next)) {
      Undelete_Log(m_u, "FAT_GetDamage: Next cluster not found.\n");
      break;
    }
    if (left == 0) break;
    c = next;
  }
  // A chain cut short: the rest is taken to follow straight on.
  while (haveLast && left > 0) {
    if (pollCancel && (step++ & 127) == 0 && m_u->totalCancelEvent.isSet()) return;
    if (std::uint64_t{last} + 1 >= m_g.clusterLimit) {
      Undelete_Log(m_u, "FAT_GetDamage: Cluster no is out of range.\n");
      l.missing = (left + m_g.clusterBytes - 1) / m_g.clusterBytes;
      break;
    }
    visit(++last);
  }
}

bool FatModel::chainOf(const View& v, FatLayout& l) const {
  // A deleted entry whose chain is still in the table and owned by no listed file: taken when the
  // chain has exactly the clusters the size needs.
  const std::uint64_t need = (v.size + m_g.clusterBytes - 1) / m_g.clusterBytes;
  std::vector<FatRun> runs;
  std::uint32_t c = v.first;
  std::uint64_t n = 0;
  for (;;) {
    if (c < 2 || c >= m_g.clusterLimit || m_live[c] != kMeta || n >= need) return false;
    addCluster(runs, c);
    ++n;
    std::uint32_t next = 0;
    if (!FAT_TableEntry(m_g, c, next)) return false;
    if (FAT_EndOfChainValue(m_g.kind, next)) break;
    c = next;
  }
  if (n != need) return false;
  l.runs = std::move(runs);
  l.total = n;
  l.unknownChain = true;
  return true;
}

FatLayout FatModel::walkDeleted(std::size_t i, std::vector<std::uint32_t>& claims,
                                std::vector<std::uint32_t>& passed, bool takeHeld) const {
  const View& a = m_views[i];
  FatLayout l;
  claims.clear();
  passed.clear();
  const std::uint32_t self = static_cast<std::uint32_t>(i);
  const std::uint64_t cb = m_g.clusterBytes;
  std::uint64_t left = a.size;
  std::uint32_t c = a.first;
  if (left == 0) return l;
  if (c < 2 || c >= m_g.clusterLimit) {
    l.missing = (left + cb - 1) / cb;
    return l;
  }
  if (m_live[c] == kMeta && chainOf(a, l)) return l;
  // The first cluster is the file's for certain; whoever holds it now overwrote it.
  if (m_live[c] != kNone) {
    noteOverwritten(l, m_live[c] == kMeta ? kMeta : m_views[m_live[c]].index);
  } else if (m_held[c] != kNone && m_held[c] != self) {
    noteOverwritten(l, m_views[m_held[c]].index);
  } else {
    claims.push_back(c);
  }
  addCluster(l.runs, c);
  ++l.total;
  left = left > cb ? left - cb : 0;
  std::uint32_t last = c;
  while (left > 0) {
    if (std::uint64_t{last} + 1 >= m_g.clusterLimit) {
      l.missing = (left + cb - 1) / cb;
      break;
    }
    const std::uint32_t n = ++last;
    const std::uint32_t live = m_live[n];
    if (live == kMeta) continue;  // directories and other structures: written around
    bool over = false;
    std::uint32_t by = kNone;
    if (live != kNone) {
      const View& owner = m_views[live];
      if (olderOrTogether(owner, a)) continue;  // was there already: written around
      over = true;
      by = owner.index;
    } else if (const std::uint32_t h = m_held[n]; h != kNone && h != self) {
      const View& holder = m_views[h];
      if (olderOrTogether(holder, a)) {
        if (passed.empty() || passed.back() != h) passed.push_back(h);
        if (!takeHeld) {
          l.inferred = true;
          continue;
        }
      } else {
        over = true;
        by = holder.index;
      }
    }
    if (over) {
      noteOverwritten(l, by);
    } else {
      claims.push_back(n);
    }
    addCluster(l.runs, n);
    ++l.total;
    left = left > cb ? left - cb : 0;
  }
  return l;
}

bool FatModel::better(std::size_t a, std::size_t b) const noexcept {
  // A walk that passed over the first cluster of a file finished before it was written took
  // that file to be whole on the volume then: the clusters after its first are its too.
  const auto passedOver = [&](std::size_t x, std::size_t y) {
    const auto& p = m_passed[x];
    return m_views[y].lastWrite <= m_views[x].birth &&
           std::find(p.begin(), p.end(), static_cast<std::uint32_t>(y)) != p.end();
  };
  if (passedOver(a, b)) return false;
  if (passedOver(b, a)) return true;
  const View& va = m_views[a];
  const View& vb = m_views[b];
  if (va.birth > vb.lastWrite) return true;  // a was written after b: a overwrote it
  if (vb.birth > va.lastWrite) return false;
  if (m_span[a] != m_span[b]) return m_span[a] < m_span[b];
  if (va.birth != vb.birth) return va.birth > vb.birth;
  return a < b;
}

bool FatModel::build(Undelete* u, CachedDrive* drive, std::uint32_t firstFile,
                     std::uint32_t endFile, bool markMap, bool pollCancel) {
  m_fs = drive->fsCurrent;
  m_volumeOffset = drive->windowStart;
  for (std::uint32_t i = firstFile; i < endFile; ++i) {
    View v;
    if (viewOf(u, i, drive, v)) {
      m_byIndex.emplace(i, m_views.size());
      m_byLocator.emplace(v.locator, m_views.size());
      m_views.push_back(v);
    }
  }
  m_layouts.assign(m_views.size(), FatLayout{});
  m_live.assign(m_g.clusterLimit, kNone);
  m_held.assign(m_g.clusterLimit, kNone);
  m_span.assign(m_views.size(), 0);
  m_passed.assign(m_views.size(), {});

  // Allocated clusters: structures until a listed live file claims them.
  for (std::uint32_t c = 2; c < m_g.clusterLimit; ++c) {
    std::uint32_t next = 0;
    if (FAT_TableEntry(m_g, c, next)) m_live[c] = kMeta;
  }
  std::vector<std::size_t> deleted;
  for (std::size_t i = 0; i < m_views.size(); ++i) {
    if (pollCancel && u->totalCancelEvent.isSet()) return true;
    if (m_views[i].size == 0) continue;
    if (m_views[i].existing) {
      walkLive(i, drive, markMap, pollCancel);
    } else {
      deleted.push_back(i);
    }
  }
  // Each deleted file holds its first cluster; of two with the same one, the later file.
  for (std::size_t i : deleted) {
    const std::uint32_t c = m_views[i].first;
    if (c < 2 || c >= m_g.clusterLimit || m_live[c] != kNone) continue;
    if (m_held[c] == kNone || better(i, m_held[c])) m_held[c] = static_cast<std::uint32_t>(i);
  }

  // Rounds: every unsettled file walks; a file that keeps each cluster it reaches against the
  // other walks settles, and its clusters are held from then on.
  std::vector<std::vector<std::uint32_t>> claims(m_views.size());
  std::vector<std::uint32_t> best(m_g.clusterLimit, kNone);
  std::vector<std::size_t> open = deleted;
  for (std::uint32_t round = 0; round < kMaxRounds && !open.empty(); ++round) {
    if (pollCancel && u->totalCancelEvent.isSet()) return true;
    for (std::size_t i : open) {
      m_layouts[i] = walkDeleted(i, claims[i], m_passed[i]);
      m_span[i] = claims[i].empty() ? 0 : claims[i].back() - m_views[i].first;
    }
    for (std::size_t i : open) {
      for (std::uint32_t c : claims[i]) {
        if (best[c] == kNone || better(i, best[c])) best[c] = static_cast<std::uint32_t>(i);
      }
    }
    std::vector<std::size_t> still;
    std::vector<std::size_t> settled;
    for (std::size_t i : open) {
      bool wins = true;
      for (std::uint32_t c : claims[i]) wins = wins && best[c] == i;
      (wins ? settled : still).push_back(i);
    }
    for (std::size_t i : open) {
      for (std::uint32_t c : claims[i]) best[c] = kNone;
    }
    for (std::size_t i : settled) {
      for (std::uint32_t c : claims[i]) m_held[c] = static_cast<std::uint32_t>(i);
    }
    open.swap(still);
  }
  // Walks left contested after the last round are not trusted.
  for (std::size_t i : open) m_layouts[i].inferred = true;
  // Whether a later file was written around an earlier one or over it (the earlier one deleted
  // by then) the volume does not say: neither is certain.
  for (std::size_t i : deleted)
    for (std::uint32_t h : m_passed[i]) m_layouts[h].passedBy = true;

  for (std::size_t i : deleted) {
    if (pollCancel && u->totalCancelEvent.isSet()) break;
    checkContent(i, drive);
  }
  // Clusters of layouts that the content confirmed are those files' own: any other layout that
  // reads them reads overwritten data.
  std::vector<std::uint32_t>& taken = best;  // reused: all kNone after the rounds
  for (std::size_t i : deleted) {
    if (m_layouts[i].content != FatContent::Valid) continue;
    for (const FatRun& r : m_layouts[i].runs)
      for (std::uint32_t k = 0; k < r.count; ++k)
        taken[r.first + k] = static_cast<std::uint32_t>(i);
  }
  for (std::size_t i : deleted) {
    FatLayout& l = m_layouts[i];
    if (l.content == FatContent::Valid) continue;
    std::uint64_t pos = 0;
    for (const FatRun& r : l.runs) {
      for (std::uint32_t k = 0; k < r.count; ++k, ++pos) {
        const std::uint32_t t = taken[r.first + k];
        if (t == kNone || t == i) continue;
        const std::uint64_t keep = l.total;
        l.total = pos;  // noteOverwritten records the position from the running total
        noteOverwritten(l, m_views[t].index);
        l.total = keep;
      }
    }
    l.overwritten = std::min(l.overwritten, l.total);
  }
  // A file whose layout is uncertain may really own the clusters straight after its first one;
  // a walk that reads such clusters without a content check is not certain either.
  std::vector<std::uint32_t>& maybe = taken;
  std::fill(maybe.begin(), maybe.end(), kNone);
  std::vector<std::uint32_t> claimsP, passedP;
  std::vector<bool> firstOfDeleted(m_g.clusterLimit, false);
  for (std::size_t i : deleted) {
    const std::uint32_t c = m_views[i].first;
    if (c >= 2 && c < m_g.clusterLimit) firstOfDeleted[c] = true;
  }
  for (std::size_t i : deleted) {
    const FatLayout& l = m_layouts[i];
    if (FAT_LayoutState(l, false, m_views[i].size) == kStateExcellent) continue;
    (void)walkDeleted(i, claimsP, passedP, true);
    for (std::size_t k = 1; k < claimsP.size(); ++k)
      if (maybe[claimsP[k]] == kNone) maybe[claimsP[k]] = static_cast<std::uint32_t>(i);
    // Or it was written around data that is gone now: its rest then lies in the free clusters
    // after it that no other file certainly starts at. (A file whose first cluster was written
    // over was gone before that write, and before anything written later.)
    if (l.overwritten > 0 && l.firstOverwritten[0] == 0) continue;
    walkAround(i, firstOfDeleted, claimsP);
    for (std::uint32_t c : claimsP)
      if (maybe[c] == kNone) maybe[c] = static_cast<std::uint32_t>(i);
  }
  for (std::size_t i : deleted) {
    FatLayout& l = m_layouts[i];
    if (l.content == FatContent::Valid ||
        FAT_LayoutState(l, false, m_views[i].size) != kStateExcellent)
      continue;
    bool firstCluster = true;
    for (const FatRun& r : l.runs) {
      for (std::uint32_t k = 0; k < r.count && !l.contested; ++k, firstCluster = false) {
        const std::uint32_t m = maybe[r.first + k];
        if (!firstCluster && m != kNone && m != i && olderOrTogether(m_views[m], m_views[i]))
          l.contested = true;
      }
    }
  }
  unplacedTails(deleted, maybe);
  return true;
}

void FatModel::unplacedTails(const std::vector<std::size_t>& deleted,
                             std::vector<std::uint32_t>& cover) {
  // Files written one after another take the free clusters in order: a file's data lies between
  // its first cluster and the first cluster of the next file written at the same time, and every
  // cluster there that was free then is its own. A file whose walk is uncertain may have been
  // written around data that is gone now (an entry reused since), so its data may lie anywhere in
  // that span, and another walk through free clusters there may read it (whichever of the two is
  // older: the volume keeps no order of deletions). Such a walk is not certain either, and its
  // own data may then lie further on in its span: repeat until nothing changes.
  std::vector<std::uint64_t> times;                // times files were written, ascending
  std::vector<std::vector<std::uint32_t>> firsts;  // per time: first clusters, ascending
  {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> all;
    for (const View& v : m_views)
      if (v.size != 0 && v.first >= 2 && v.first < m_g.clusterLimit)
        all.emplace_back(v.birth, v.first);
    std::sort(all.begin(), all.end());
    for (const auto& [t, f] : all) {
      if (times.empty() || times.back() != t) {
        times.push_back(t);
        firsts.emplace_back();
      }
      firsts.back().push_back(f);
    }
  }
  // The span ends at the next file written at the same time; the last one's runs to the end of
  // the volume (files written later may have been put in holes before it).
  const auto spanEnd = [&](const View& v) -> std::uint32_t {
    const auto t = std::lower_bound(times.begin(), times.end(), v.birth);
    if (t == times.end() || *t != v.birth) return m_g.clusterLimit;
    const auto& f = firsts[static_cast<std::size_t>(t - times.begin())];
    const auto next = std::upper_bound(f.begin(), f.end(), v.first);
    return next != f.end() ? *next : m_g.clusterLimit;
  };
  // Walks whose data may lie further on: those that met newer data after their first cluster
  // (written over there, or written around something gone), that passed over clusters of older
  // deleted files, or that may read another file's data.
  const auto uncertain = [&](std::size_t i) {
    const FatLayout& l = m_layouts[i];
    if (l.content == FatContent::Valid || l.total == 0) return false;
    if (l.overwritten > 0 && l.firstOverwritten[0] == 0) return false;  // gone before the rest
    return l.overwritten > 0 || l.inferred || l.contested;
  };
  // Clusters in doubt, each marked once: cover[c] == c while c is not; else a cluster further on
  // to look from (path-halved), so that overlapping spans cost no more than the volume.
  cover.resize(std::size_t{m_g.clusterLimit} + 1);
  std::iota(cover.begin(), cover.end(), 0u);
  const auto firstUnmarked = [&](std::uint32_t c) {
    while (cover[c] != c) {
      cover[c] = cover[cover[c]];
      c = cover[c];
    }
    return c;
  };
  const auto inDoubt = [&](std::uint32_t c) { return cover[c] != c; };
  std::vector<bool> counted(m_views.size(), false);
  for (std::uint32_t round = 0; round <= kMaxRounds; ++round) {
    bool added = false;
    for (std::size_t i : deleted) {
      if (counted[i] || !uncertain(i)) continue;
      counted[i] = true;
      const std::uint32_t end = spanEnd(m_views[i]);
      for (std::uint32_t c = firstUnmarked(m_views[i].first + 1); c < end; c = firstUnmarked(c)) {
        cover[c] = c + 1;
        added = true;
      }
    }
    if (!added) return;
    for (std::size_t i : deleted) {
      FatLayout& l = m_layouts[i];
      if (counted[i] || l.content == FatContent::Valid || l.contested ||
          FAT_LayoutState(l, false, m_views[i].size) != kStateExcellent)
        continue;
      // (Its own span is not counted: only uncertain files have one.)
      bool firstCluster = true;
      for (const FatRun& r : l.runs)
        for (std::uint32_t k = 0; k < r.count && !l.contested; ++k, firstCluster = false)
          l.contested = !firstCluster && inDoubt(r.first + k);
    }
  }
}

void FatModel::walkAround(std::size_t i, const std::vector<bool>& firstOfDeleted,
                          std::vector<std::uint32_t>& claims) const {
  claims.clear();
  const View& a = m_views[i];
  const std::uint64_t cb = m_g.clusterBytes;
  if (a.first < 2 || a.first >= m_g.clusterLimit || a.size <= cb) return;
  std::uint64_t left = a.size - cb;
  for (std::uint64_t c = std::uint64_t{a.first} + 1; left > 0 && c < m_g.clusterLimit; ++c) {
    if (m_live[c] != kNone || firstOfDeleted[c]) continue;
    // Older deleted files were there too: written around.
    if (const std::uint32_t h = m_held[c]; h != kNone && h != i && olderOrTogether(m_views[h], a))
      continue;
    claims.push_back(static_cast<std::uint32_t>(c));
    left = left > cb ? left - cb : 0;
  }
}

bool FatModel::readLayout(CachedDrive* drive, const std::vector<FatRun>& runs, std::uint64_t bytes,
                          std::vector<std::uint8_t>& out) const {
  out.resize(static_cast<std::size_t>(bytes));
  std::uint64_t at = 0;
  for (const FatRun& r : runs) {
    if (at >= bytes) break;
    const std::uint64_t want =
        std::min<std::uint64_t>(bytes - at, std::uint64_t{r.count} * m_g.clusterBytes);
    std::uint32_t got = 0;
    if (!CachedDrive_Read(drive, FAT_ClusterSector(m_g, r.first) * m_g.sectorSize,
                          static_cast<std::uint32_t>(want), out.data() + at, &got) ||
        got != want)
      return false;
    at += want;
  }
  return at == bytes;
}

void FatModel::checkContent(std::size_t i, CachedDrive* drive) {
  FatLayout& l = m_layouts[i];
  const View& v = m_views[i];
  if (l.total == 0 || l.missing != 0 || l.overwritten != 0 || v.size > kMaxCheckBytes) return;
  std::array<std::uint8_t, 16> head{};
  std::uint32_t got = 0;
  if (!CachedDrive_Read(drive, FAT_ClusterSector(m_g, l.runs[0].first) * m_g.sectorSize,
                        static_cast<std::uint32_t>(std::min<std::uint64_t>(16, v.size)),
                        head.data(), &got))
    return;
  if (!FileFormat_CanValidate(std::span<const std::uint8_t, 16>(head))) return;
  std::vector<std::uint8_t> data;
  try {
    if (!readLayout(drive, l.runs, v.size, data)) return;
    FormatCheck check;
    if (!FileFormat_Validate(data, check) || check.verdict == FormatVerdict::Unknown) return;
    if (check.verdict == FormatVerdict::Valid) {
      l.content = FatContent::Valid;
      return;
    }
    l.content = FatContent::Broken;
    if (!m_passed[i].empty()) {
      // Maybe the files passed over were deleted before this one was written over them.
      std::vector<std::uint32_t> claims, passed;
      FatLayout over = walkDeleted(i, claims, passed, true);
      std::vector<std::uint8_t> alt;
      FormatCheck altCheck;
      if (over.overwritten == 0 && over.missing == 0 && readLayout(drive, over.runs, v.size, alt) &&
          FileFormat_Validate(alt, altCheck) && altCheck.verdict == FormatVerdict::Valid) {
        over.content = FatContent::Valid;
        l = std::move(over);
        return;
      }
    }
    (void)searchSecondFragment(i, drive, check.good, data);
  } catch (const std::bad_alloc&) {
  }
}

bool FatModel::searchSecondFragment(std::size_t i, CachedDrive* drive, std::uint64_t brokeAt,
                                    std::vector<std::uint8_t>& data) {
  // The first fragment runs from the first cluster up to where the content broke (the break is
  // seen at or a little after the fragment's end); the second is contiguous from some later free
  // cluster. The first layout that validates whole wins.
  FatLayout& l = m_layouts[i];
  const View& v = m_views[i];
  const std::uint64_t cb = m_g.clusterBytes;
  const std::uint64_t need = (v.size + cb - 1) / cb;
  if (need < 2) return false;
  std::vector<std::uint32_t> order;
  for (const FatRun& r : l.runs)
    for (std::uint32_t k = 0; k < r.count; ++k) order.push_back(r.first + k);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kFatGapSearchMillis);
  const std::uint64_t brokeCluster = std::min<std::uint64_t>(brokeAt / cb, need - 1);
  std::vector<std::uint8_t> trial;
  std::vector<std::uint8_t> junction;
  const std::uint64_t lowK = brokeCluster > 4 ? brokeCluster - 4 : 1;
  // A decoder sees the break at the start of the block group that straddles it: the first
  // fragment may end in the cluster after.
  const std::uint64_t highK = std::min<std::uint64_t>(brokeCluster + 1, need - 1);
  for (std::uint64_t k1 = std::max<std::uint64_t>(highK, 1); k1 >= lowK && k1 >= 1; --k1) {
    const std::uint64_t rest = need - k1;
    const std::uint64_t headBytes = k1 * cb;
    const std::uint64_t tailBytes = v.size - headBytes;
    for (std::uint64_t s2 = std::uint64_t{order[k1 - 1]} + 2; s2 + rest <= m_g.clusterLimit; ++s2) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      bool free = true;
      for (std::uint64_t k = 0; k < rest && free; ++k)
        free = freeForGap(static_cast<std::uint32_t>(s2 + k), i);
      if (!free) continue;
      // The join first: the head plus the first cluster of the candidate.
      const std::uint64_t joinBytes = std::min<std::uint64_t>(cb, tailBytes);
      trial.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(headBytes));
      junction.resize(static_cast<std::size_t>(joinBytes));
      std::uint32_t got = 0;
      if (!CachedDrive_Read(drive, FAT_ClusterSector(m_g, s2) * m_g.sectorSize,
                            static_cast<std::uint32_t>(joinBytes), junction.data(), &got) ||
          got != joinBytes)
        continue;
      trial.insert(trial.end(), junction.begin(), junction.end());
      // The quick test first (JPEG markers only), then the full one on what passes it.
      FormatCheck check;
      if (!FileFormat_Validate(trial, check, false)) continue;
      if (check.verdict == FormatVerdict::Broken && check.good < trial.size()) continue;
      if (!FileFormat_Validate(trial, check)) continue;
      if (check.verdict == FormatVerdict::Broken && check.good < trial.size()) continue;
      std::vector<FatRun> runs;
      for (std::uint64_t k = 0; k < k1; ++k) addCluster(runs, order[k]);
      for (std::uint64_t k = 0; k < rest; ++k) addCluster(runs, static_cast<std::uint32_t>(s2 + k));
      if (!readLayout(drive, runs, v.size, trial)) continue;
      if (!FileFormat_Validate(trial, check) || check.verdict != FormatVerdict::Valid) continue;
      FatLayout found;
      found.runs = std::move(runs);
      found.total = need;
      found.content = FatContent::Valid;
      found.carved = true;
      found.inferred = true;
      l = std::move(found);
      return true;
    }
  }
  return false;
}

std::shared_ptr<FatModel> FAT_BuildModel(Undelete* u, CachedDrive* drive, const FatGeometry& g,
                                         std::uint32_t firstFile, std::uint32_t endFile,
                                         bool markMap, bool pollCancel) noexcept {
  if (u == nullptr || drive == nullptr) return nullptr;
  try {
    auto model = std::make_shared<FatModel>(u, drive, g);
    if (!model->build(u, drive, firstFile, endFile, markMap, pollCancel)) return nullptr;
    return model;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

const FatLayout* FAT_ModelLayout(const FatModel& model, std::uint32_t index) noexcept {
  return model.layoutOf(index);
}

std::uint8_t FAT_LayoutState(const FatLayout& l, bool existing, std::uint64_t size) noexcept {
  if (existing) return kStateExisting;
  if (size == 0) return kStateExcellent;
  if (l.total == 0 || l.overwritten >= l.total) return kStateUnrecoverable;
  if (l.overwritten > 0 || l.missing > 0 || l.content == FatContent::Broken) return kStatePoor;
  if (l.content == FatContent::Valid) return kStateExcellent;
  if (l.inferred || l.passedBy || l.contested || l.unknownChain) return kStateGood;
  return kStateExcellent;
}

void FAT_KeepModel(Undelete* u, const CachedDrive* drive, std::shared_ptr<FatModel> model) {
  if (u == nullptr || drive == nullptr || model == nullptr) return;
  model->shrink();
  const std::lock_guard<std::mutex> lock(u->fatModelsLock);
  auto& kept = u->fatModels;
  // One model per file system: a newer estimation of the same one replaces it.
  kept.erase(
      std::remove_if(kept.begin(), kept.end(),
                     [&](const std::shared_ptr<FatModel>& m) { return m->builtFor(u, drive); }),
      kept.end());
  try {
    kept.push_back(std::move(model));
  } catch (const std::bad_alloc&) {
  }
}

bool FAT_LayoutForRecovery(Undelete* u, const FileRecord* record, const FatGeometry& g,
                           FatLayout& out) noexcept {
  if (u == nullptr || record == nullptr || u->drive == nullptr) return false;
  CachedDrive* drive = u->drive;
  try {
    std::shared_ptr<FatModel> model;
    {
      const std::lock_guard<std::mutex> lock(u->fatModelsLock);
      for (const auto& m : u->fatModels)
        if (m->builtFor(u, drive)) model = m;
    }
    const FatLayout* l = model != nullptr ? model->layoutOfRecord(u, record) : nullptr;
    if (l == nullptr) {
      // No estimation of this file system holds the record as it is now: model it afresh.
      model = FAT_BuildModel(u, drive, g, 0, u->fileCount, false, false);
      if (model == nullptr) return false;
      l = model->layoutOfRecord(u, record);
      if (l == nullptr) return false;
      out = *l;
      FAT_KeepModel(u, drive, std::move(model));
      return true;
    }
    out = *l;
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
