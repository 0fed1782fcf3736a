// Helpers shared by the test programs.
#include "test_support.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>

#include "core/text.h"

namespace kvxtest {

CommandResult run(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 65536> buffer{};
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    result.out.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool haveTools(const std::vector<std::string>& programs) {
  for (const auto& p : programs)
    if (run("command -v " + quote(p) + " >/dev/null 2>&1").exitCode != 0) return false;
  return true;
}

TempDir::TempDir(const std::string& tag) {
  std::random_device rd;
  const auto base = std::filesystem::temp_directory_path() / "kvx-tests";
  std::filesystem::create_directories(base);
  m_path = base / (tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
  std::filesystem::create_directories(m_path);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::string md5File(const std::filesystem::path& path) {
  const auto r = run("md5sum " + quote(path.string()) + " 2>/dev/null");
  if (r.exitCode != 0 || r.out.size() < 32) return {};
  return r.out.substr(0, 32);
}

std::string utf8(const char16_t* s) { return Text_Utf16ToUtf8(s != nullptr ? s : u""); }

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

std::filesystem::path sourceDir() { return KVX_SOURCE_DIR; }
std::filesystem::path fixtureDir() { return KVX_FIXTURE_DIR; }
std::filesystem::path cliPath() { return KVX_CLI; }

}  // namespace kvxtest
