// The results tree and the recovery run over the bound engine: its records, its options record
// and the exports a recovery calls.
#pragma once

#include <optional>

#include "engine_api.h"
#include "options.h"
#include "recovery/recovery_run.h"
#include "results/file_filter.h"
#include "results/result_records.h"

/// Every file record (GetFileInfo from 0 until it fails) and folder record of the last scan.
[[nodiscard]] results::ResultRecords Results_ReadEngine(const EngineApi& api, Undelete* engine);

/// The filter fields of an options record, and back (the other fields stay as they are).
[[nodiscard]] results::FilterRule Results_RuleOf(const ScanFilterOptions& options);
void Results_StoreRule(const results::FilterRule& rule, ScanFilterOptions& options);

/// The exports a recovery calls. The two output exports are looked up in the loaded library by
/// name; nullopt when the library lacks them (then nothing can be written safely).
[[nodiscard]] std::optional<recovery::RecoveryEngine> Recovery_Bind(const EngineApi& api,
                                                                    Undelete* engine);
