// FAT state estimation: the layout model (fat_layout.h) says which clusters hold each listed file's
// data and which of them something written later has taken; the state is counted from that walk,
// so that it describes exactly what a recovery writes.
#include <string>

#include "core/cached_drive.h"
#include "core/storage.h"
#include "core/undelete_object.h"
#include "fat/fat.h"
#include "fat/fat_layout.h"

namespace {

constexpr char16_t kCarvedNote[] = u"Fragmented: the second part was found by its content.";

}  // namespace

bool FAT_GetDamage(Undelete* u) noexcept {
  FatGeometry g;
  if (u == nullptr || !FAT_GetGeometry(u->drive, g)) return !(u != nullptr && isCancelled(u));
  const std::uint32_t first = u->passFirstFile;
  const std::uint32_t end = u->fileCount;
  const std::uint32_t scale = (u->options & kOptDeepScan) != 0 ? 1000u : 10000u;
  u->progress = scale * 90 / 100;
  std::shared_ptr<FatModel> model = FAT_BuildModel(u, u->drive, g, first, end, true, true);
  if (model == nullptr) return !isCancelled(u);
  std::uint32_t noteRef = 0;
  for (std::uint32_t i = first; i < end; ++i) {
    if (u->totalCancelEvent.isSet()) break;
    u->progress = static_cast<std::uint32_t>(std::uint64_t{i - first} * scale * 10 /
                                                 (std::uint64_t{end - first} * 100) +
                                             scale * 90 / 100);
    const FatLayout* l = FAT_ModelLayout(*model, i);
    if (l == nullptr) continue;
    FileRecord* r = Storage_File(u, i);
    const bool existing = (r->status & kStatusExisting) != 0;
    r->overwrittenBy.set(l->overwrittenBy);
    for (int k = 0; k < 3; ++k) r->firstOverwritten[k].set(l->firstOverwritten[k]);
    r->overwrittenClusters.set(l->overwritten);
    r->totalClusters.set(l->total);
    const std::uint8_t oldState = static_cast<std::uint8_t>((r->status >> 1) & 0x1F);
    std::uint8_t state = FAT_LayoutState(*l, existing, r->size.get() & 0xFFFFFFFFull);
    if (oldState == kStateBad) state = kStateBad;
    r->status = static_cast<std::uint8_t>((r->status & 0xC1) | (state << 1));
    if (l->carved && r->note.get() == 0) {
      if (noteRef != 0 || Storage_AddString(u, kCarvedNote, &noteRef)) r->note.set(noteRef);
    }
  }
  FAT_KeepModel(u, u->drive, std::move(model));
  return !isCancelled(u);
}
