// Helpers shared by the test programs: commands, temporary folders, files and checksums.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kvxtest {

struct CommandResult {
  int exitCode = -1;
  std::string out;  // standard output (standard error goes to the test log)
};

/// Runs @p command with /bin/sh; standard output is captured.
CommandResult run(const std::string& command);
/// True when every program named is on PATH (image tests skip otherwise).
bool haveTools(const std::vector<std::string>& programs);

/// A fresh folder below the build tree's scratch space, removed with the object.
class TempDir {
 public:
  explicit TempDir(const std::string& tag);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return m_path; }
  [[nodiscard]] std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

 private:
  std::filesystem::path m_path;
};

std::vector<std::uint8_t> readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
/// Hex MD5 of a file (through md5sum), empty when it cannot be read.
std::string md5File(const std::filesystem::path& path);
/// UTF-8 of a NUL-terminated UTF-16 name (null gives ""); pairs joined, no other checks.
std::string utf8(const char16_t* s);
/// Shell-quotes @p s for use in run().
std::string quote(const std::string& s);
/// Root of the source tree and of the fixture folder.
std::filesystem::path sourceDir();
std::filesystem::path fixtureDir();
/// Path of the kvx program built with the tests.
std::filesystem::path cliPath();

}  // namespace kvxtest
