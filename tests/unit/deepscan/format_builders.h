// Small writers of formats that no tool on the test machine writes, made from the published
// layouts: just enough structure for the recognisers to walk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fmtbuild {

using Bytes = std::vector<std::uint8_t>;

void putLe16(Bytes& b, std::size_t at, std::uint16_t v);
void putLe32(Bytes& b, std::size_t at, std::uint32_t v);
void appendLe16(Bytes& b, std::uint16_t v);
void appendLe32(Bytes& b, std::uint32_t v);
void appendLe64(Bytes& b, std::uint64_t v);
void appendBe32(Bytes& b, std::uint32_t v);
void append(Bytes& b, const std::string& s);
void append(Bytes& b, const Bytes& s);

/// RIFF container of @p form ("AVI ", "ACON", "RMID"...) with one chunk of @p payload bytes.
Bytes riff(const std::string& form, std::size_t payload);
/// DOS program of @p pages 512-byte pages, @p lastPage bytes used in the last one.
Bytes dosExe(std::uint16_t pages, std::uint16_t lastPage);
/// PE32 image with two sections (.text, .rsrc); @p dll sets the DLL flag, @p mui names the only
/// named root resource "MUI". File alignment 512.
Bytes peImage(bool dll, bool mui);
/// Compound document (512-byte sectors) whose second directory entry is @p stream with a
/// 4096-byte body.
Bytes compoundDocument(const std::u16string& stream);
/// RAR 4 archive holding one stored file.
Bytes rar(const std::string& name, const Bytes& data);
Bytes chm(std::uint32_t fileSize);
Bytes hlp(std::uint32_t fileSize);
/// ASF header (file properties, optional codec list naming a WMV codec), data object and
/// optionally a simple index.
Bytes asf(bool wmvCodec, bool simpleIndex);
Bytes swf(std::uint32_t bodyBytes);
/// QuickTime atoms: moov, mdat, free.
Bytes mov(std::size_t mdatBytes);

}  // namespace fmtbuild
