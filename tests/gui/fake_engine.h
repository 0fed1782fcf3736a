// A scripted engine behind an EngineApi table, for the pages' logic without a real scan.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine_api.h"

struct FakeDrive {
  char letter;
  uint8_t type;
  bool usable;
  const char* summary;  // short description; null: the file system cannot be described
  uint64_t size;
};

struct FakeEngine {
  // Scan.
  std::atomic<int> searching{0};
  std::atomic<int> cancelled{0};
  uint32_t total = 0, done = 0, files = 0, deleted = 0, folders = 0;
  uint64_t sectorsDone = 0, sectorsTotal = 0;
  std::string stage;
  uint32_t error = kErrOpenDrive;
  int searchResult = 1, restoreResult = 1;
  int searchCalls = 0, cancelCalls = 0;
  bool endOnCancel = true;  // the search ends as soon as it is cancelled
  uint32_t lastSpec = 0xFFFFFFFF, lastFlags = 0xFFFFFFFF;
  UndeleteQueryCallback saveCallback = nullptr;
  void* callbackArg = nullptr;
  const char* session = nullptr;  // description of the saved session; null: none
  // Drives and partitions.
  std::vector<FakeDrive> drives;
  std::string systemLetters;
  std::vector<std::string> partitions;
  std::map<int, int> partitionPolls;  // physical drive -> polls left before its scan ends
  std::vector<int> presentDisks;
  std::vector<int> refusedDisks;  // present, but their scan cannot start
  int scanningDisk = -1;
  std::vector<int> polledDisks;

  static FakeEngine& get();
  /// Starts a test from a fresh script (references from get() before this dangle).
  static void reset();
};

/// The table with every pointer the pages use set to the fake.
EngineApi FakeEngine_Api();
