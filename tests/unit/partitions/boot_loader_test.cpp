// The MBR loader that fix-boot-code writes, run on an emulated PC (SeaBIOS, no hardware
// acceleration needed): it must start the active partition's boot sector the way such sectors
// expect, and show the right message for each way the start can fail. The BIOS mirrors its
// screen output to the serial port, so the loader's messages are read from there.
#include "partition_test_util.h"

using namespace parttest;

namespace {

using Patches = std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>>;

/// A 4 MiB disk: an inactive empty partition at 2048, the active one at 4096 holding the marker
/// boot sector; sector 0 then gets our loader through kvx. Made once.
const std::filesystem::path& bootDisk() {
  static const kvxtest::TempDir dir("bootdisk");
  static const std::filesystem::path img = [] {
    const auto d = dir.path();
    const auto img = d / "disk.img";
    const auto marker = kvxtest::sourceDir() / "tests/fixtures/boot_marker.asm";
    const std::string q = kvxtest::quote(img.string());
    const auto r = kvxtest::run(
        "cd " + kvxtest::quote(d.string()) + " && nasm -f bin -o marker.bin " +
        kvxtest::quote(marker.string()) + " && truncate -s 4M " + q +
        " && printf 'label: dos\\nlabel-id: 0x5eed1234\\nstart=2048, size=2048, type=c\\n"
        "start=4096, size=4096, type=c, bootable\\n' | sfdisk -q " +
        q + " && dd if=marker.bin of=" + q + " bs=512 seek=4096 conv=notrunc status=none && " +
        kvxtest::quote(kvxtest::cliPath().string()) + " fix-boot-code " + q + " --yes 2>&1");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    return img;
  }();
  return img;
}

/// Boots @p img until @p expect shows on the serial port, the machine stops, or 15 s pass.
std::string boot(const std::filesystem::path& img, const std::string& expect) {
  const auto dir = img.parent_path();
  kvxtest::writeFile(dir / "port.bin", {0xF8, 0x03});  // serial console of the BIOS: COM1
  const std::string cmd =
      "cd " + kvxtest::quote(dir.string()) +
      " && rm -f serial.txt && { timeout 15 qemu-system-i386 -display none -monitor none "
      "-no-reboot -serial file:serial.txt -drive file=" +
      kvxtest::quote(img.filename().string()) +
      ",format=raw,if=ide -device isa-debug-exit,iobase=0xf4,iosize=4 "
      "-fw_cfg name=etc/sercon-port,file=port.bin >/dev/null 2>&1 & pid=$!; "
      "for i in $(seq 150); do grep -qF " +
      kvxtest::quote(expect) +
      " serial.txt 2>/dev/null && break; kill -0 $pid 2>/dev/null || break; sleep 0.1; done; "
      "kill $pid 2>/dev/null; wait $pid; cat serial.txt; }";
  return kvxtest::run(cmd).out;
}

struct BootCase {
  const char* name;
  Patches patches;
  const char* expect;
};

class MbrLoader : public ::testing::TestWithParam<BootCase> {};

TEST_P(MbrLoader, StartsTheActivePartitionOrSaysWhyNot) {
  if (!kvxtest::haveTools({"qemu-system-i386", "nasm", "sfdisk"}))
    GTEST_SKIP() << "qemu-system-i386 not installed";
  const BootCase& c = GetParam();
  kvxtest::TempDir dir("bootrun");
  const auto img = damagedCopy(bootDisk(), dir.path(), "disk.img", c.patches);
  const std::string out = boot(img, c.expect);
  EXPECT_NE(out.find(c.expect), std::string::npos) << out;
  // Exactly one outcome: no other message, and the marker only when it was expected.
  for (const char* other : {"Invalid partition table", "Error loading operating system",
                            "Missing operating system", "KVX-MARKER"})
    if (std::string(c.expect).find(other) == std::string::npos)
      EXPECT_EQ(out.find(other), std::string::npos) << other << "\n" << out;
}

constexpr std::uint64_t kEntry2 = 0x1CE;

INSTANTIATE_TEST_SUITE_P(
    Qemu, MbrLoader,
    ::testing::Values(
        // The second entry is the active one: the loader must pick it, not the first.
        BootCase{"StartsActivePartition", {}, "KVX-MARKER started-by-loader"},
        BootCase{"NoActiveEntry", {{kEntry2, {0x00}}}, "Invalid partition table"},
        BootCase{"TwoActiveEntries", {{0x1BE, {0x80}}}, "Invalid partition table"},
        BootCase{"BadBootIndicator", {{kEntry2, {0x81}}}, "Invalid partition table"},
        BootCase{"BootSectorWithoutSignature",
                 {{4096ull * 512 + 510, {0x00, 0x00}}},
                 "Missing operating system"},
        // The active entry points past the end of the disk: every read try fails.
        BootCase{"ActivePartitionUnreadable",
                 {{kEntry2 + 8, {0x00, 0x00, 0x00, 0x10}}},
                 "Error loading operating system"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
