/* The interface header as a C program sees it. It must compile as strict C11, and what it gives C
   (record layouts, constant values, the exported functions) is handed to interface_test.cpp,
   which compares it with the C++ view. */
#include "undelete/undelete.h"

typedef void (*KvxAnyFunction)(void);

#define SIZE(type) sizeof(type),
#define FIELD(type, field) offsetof(type, field),
#define CONSTANT(name)
#define EXPORT(name)
const size_t kvxCLayout[] = {
#include "interface_list.inc"
};
#undef SIZE
#undef FIELD
#undef CONSTANT
#undef EXPORT
const size_t kvxCLayoutCount = sizeof kvxCLayout / sizeof kvxCLayout[0];

#define SIZE(type)
#define FIELD(type, field)
#define CONSTANT(name) (uint32_t)(name),
#define EXPORT(name)
const uint32_t kvxCConstants[] = {
#include "interface_list.inc"
};
#undef CONSTANT
const size_t kvxCConstantCount = sizeof kvxCConstants / sizeof kvxCConstants[0];

#define CONSTANT(name)
#undef EXPORT
#define EXPORT(name) (KvxAnyFunction)name,
const KvxAnyFunction kvxCExports[] = {
#include "interface_list.inc"
};
const size_t kvxCExportCount = sizeof kvxCExports / sizeof kvxCExports[0];

/* A field read the way a C front end reads one: the bytes of raw[], least significant first. */
uint64_t kvxCFileSize(const FileRecord* record) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | record->size.raw[i];
  return v;
}
