// Repair exports for an engine built without them: each reports failure. Weak, so that the
// engine's own definitions are the ones exported wherever they exist.
extern "C" {
#define FALLBACK(name, ...) \
  __attribute__((weak, visibility("default"))) int name(__VA_ARGS__) { return 0; }
FALLBACK(Undelete_CanMakeActive, void*, unsigned)
FALLBACK(Undelete_MakeActive, void*, unsigned)
FALLBACK(Undelete_FixMBRBootCode, void*, int)
FALLBACK(Undelete_FixMBR, void*, unsigned)
FALLBACK(Undelete_FixGPT, void*, unsigned)
FALLBACK(Undelete_CanUndoMBRFix, int, char*, unsigned)
FALLBACK(Undelete_CanUndoGPTFix, int, char*, unsigned)
FALLBACK(Undelete_UndoMBRFix, int)
FALLBACK(Undelete_UndoGPTFix, int)
FALLBACK(Undelete_ReadMBR, int, void*)
FALLBACK(Undelete_WriteMBR, int, const void*)
#undef FALLBACK
}
