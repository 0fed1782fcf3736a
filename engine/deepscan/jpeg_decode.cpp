// Huffman decoding of a JPEG's scans, coefficients discarded: every block of every scan must
// decode with the image's own tables, fill exactly the blocks the frame declares, and end where
// the next marker begins. Data that is not the image's (a cut file's noise, another file's
// clusters) breaks within a few blocks: codes the tables do not hold, runs past the end of a
// block, markers where blocks are still due, or bytes left over before the next marker.
#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "deepscan/deepscan.h"
#include "deepscan/formats/format_util.h"

namespace {

constexpr int kFastBits = 9;
constexpr std::uint32_t kForeignZeros = 64;
// Progressive images keep one bit per coefficient and block; past this many blocks (an image of
// about 500 megapixels) the decoder declines rather than allocate.
constexpr std::uint64_t kMaxProgressiveBlocks = std::uint64_t{8} << 20;

struct Huffman {
  bool defined = false;
  std::array<std::uint16_t, 1 << kFastBits> fast{};  // (length << 8) | symbol, 0: longer code
  std::array<std::int32_t, 18> maxCode{};            // per length, -1 when none
  std::array<std::int32_t, 17> valOffset{};
  std::array<std::uint8_t, 256> values{};

  /// False for a table whose codes do not fit their lengths.
  bool build(const std::uint8_t* counts, const std::uint8_t* symbols, std::size_t total) noexcept {
    fast.fill(0);
    maxCode.fill(-1);
    std::int32_t code = 0;
    std::size_t k = 0;
    for (int len = 1; len <= 16; ++len) {
      valOffset[len] = static_cast<std::int32_t>(k) - code;
      for (std::uint32_t i = 0; i < counts[len - 1]; ++i, ++k, ++code) {
        if (code >= (1 << len) || k >= total) return false;
        values[k] = symbols[k];
        if (len <= kFastBits) {
          const int shift = kFastBits - len;
          for (int f = 0; f < (1 << shift); ++f)
            fast[(code << shift) | f] = static_cast<std::uint16_t>((len << 8) | symbols[k]);
        }
      }
      if (counts[len - 1] != 0) maxCode[len] = code - 1;
      code <<= 1;
    }
    maxCode[17] = 0x7FFFFFFF;  // stops the slow search
    defined = true;
    return true;
  }
};

/// Entropy-coded bytes: stuffed zeros removed, stopping at the first marker. Bits asked for past
/// the marker read as zero and count as an overrun.
class BitReader {
 public:
  BitReader(const std::uint8_t* data, std::size_t size, std::size_t pos) noexcept
      : m_data(data), m_size(size), m_pos(pos) {}

  [[nodiscard]] bool overrun() const noexcept { return m_phantom > m_count; }
  /// Real bits still held (not counting zeros supplied past the marker).
  [[nodiscard]] std::uint32_t realBits() const noexcept {
    return m_count > m_phantom ? m_count - m_phantom : 0;
  }
  /// Where the byte that holds the next bit starts (approximately, with stuffing).
  [[nodiscard]] std::size_t bytePos() const noexcept { return m_pos - realBits() / 8; }
  [[nodiscard]] bool atMarker() const noexcept { return m_marker; }
  /// A run of zero bytes no encoder writes (every block all ones and minus ones): another
  /// file's data, or a cluster never written.
  [[nodiscard]] bool foreign() const noexcept { return m_foreign; }
  /// The data ended (no marker) and bits past it were asked for: the file is cut, not broken.
  [[nodiscard]] bool ranOut() const noexcept { return m_marker && m_pos >= m_size && overrun(); }
  /// The marker's position (valid at a marker).
  [[nodiscard]] std::size_t markerPos() const noexcept { return m_pos; }

  void fill() noexcept {
    while (m_count <= 56) {
      std::uint8_t b = 0;
      if (!m_marker) {
        if (m_pos >= m_size) {
          m_marker = true;  // the data ends: no marker follows
        } else if (m_data[m_pos] != 0xFF) {
          b = m_data[m_pos++];
          m_zeros = b == 0 ? m_zeros + 1 : 0;
          m_foreign = m_foreign || m_zeros >= kForeignZeros;
        } else if (m_pos + 1 < m_size && m_data[m_pos + 1] == 0x00) {
          b = 0xFF;
          m_pos += 2;
        } else {
          m_marker = true;
        }
      }
      if (m_marker) m_phantom += 8;
      m_acc = (m_acc << 8) | b;
      m_count += 8;
    }
  }
  [[nodiscard]] std::uint32_t peek(std::uint32_t n) noexcept {
    if (m_count < n) fill();
    return static_cast<std::uint32_t>((m_acc >> (m_count - n)) & ((std::uint64_t{1} << n) - 1));
  }
  void drop(std::uint32_t n) noexcept { m_count -= n; }
  [[nodiscard]] std::uint32_t get(std::uint32_t n) noexcept {
    if (n == 0) return 0;
    const std::uint32_t v = peek(n);
    drop(n);
    return v;
  }
  /// Starts again after a restart marker at markerPos().
  void restartAt(std::size_t pos) noexcept {
    m_pos = pos;
    m_acc = 0;
    m_count = 0;
    m_phantom = 0;
    m_zeros = 0;
    m_marker = false;
  }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_pos;
  std::uint64_t m_acc = 0;
  std::uint32_t m_count = 0;    // bits held in m_acc
  std::uint32_t m_phantom = 0;  // of them, zeros supplied past the marker (always the last ones)
  std::uint32_t m_zeros = 0;    // zero bytes in a row
  bool m_marker = false;
  bool m_foreign = false;
};

/// A symbol, or -1 for a code the table does not hold.
int decodeSymbol(BitReader& in, const Huffman& h) noexcept {
  const std::uint32_t look = in.peek(16);
  const std::uint16_t f = h.fast[look >> (16 - kFastBits)];
  if (f != 0) {
    in.drop(f >> 8);
    return f & 0xFF;
  }
  for (int len = kFastBits + 1; len <= 16; ++len) {
    const auto code = static_cast<std::int32_t>(look >> (16 - len));
    if (code <= h.maxCode[len]) {
      in.drop(static_cast<std::uint32_t>(len));
      const std::int32_t at = code + h.valOffset[len];
      return at >= 0 && at < 256 ? h.values[static_cast<std::size_t>(at)] : -1;
    }
  }
  return -1;
}

struct Component {
  std::uint8_t id = 0;
  std::uint32_t h = 1, v = 1;
  std::uint32_t blocksWide = 0, blocksHigh = 0;  // the component's own blocks
  std::uint32_t gridWide = 0, gridHigh = 0;      // blocks the MCUs cover
  std::uint8_t dcTable = 0, acTable = 0;
  std::vector<std::uint64_t> nonZero;  // progressive: coefficients already non-zero, per block
};

struct Frame {
  bool seen = false;
  bool progressive = false;
  std::uint32_t mcusWide = 0, mcusHigh = 0;
  std::vector<Component> comps;
};

class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> d) noexcept : m_d(d) {}
  JpegDecode run(std::uint64_t& end);

 private:
  enum class Step : std::uint8_t { Ok, Broken, Unsupported };
  Step frame(std::size_t at, std::uint32_t len, bool progressive);
  Step tables(std::size_t at, std::uint32_t len);
  Step scan(std::size_t at, std::uint32_t len, std::size_t& next);
  bool block(BitReader& in, Component& c, std::uint32_t bx, std::uint32_t by, int& dcPred);

  std::span<const std::uint8_t> m_d;
  Frame m_frame;
  std::array<Huffman, 4> m_dc, m_ac;
  std::uint32_t m_restart = 0;
  // Scan parameters.
  std::uint32_t m_ss = 0, m_se = 63, m_ah = 0;
  std::uint32_t m_eobRun = 0;
  std::size_t m_broke = 0;  // where the failing interval started
  std::uint64_t m_blockBudget = 0;
};

Decoder::Step Decoder::frame(std::size_t at, std::uint32_t len, bool progressive) {
  if (m_frame.seen || len < 6) return Step::Broken;
  const std::uint8_t* p = m_d.data() + at;
  const std::uint32_t height = deepscan::be16(p + 1), width = deepscan::be16(p + 3);
  const std::uint32_t n = p[5];
  if (p[0] != 8 && p[0] != 12) return Step::Broken;
  if (height == 0) return Step::Unsupported;  // the height comes after the first scan
  if (width == 0 || n < 1 || n > 4 || len != 6 + 3 * n) return Step::Broken;
  std::uint32_t hMax = 1, vMax = 1;
  for (std::uint32_t i = 0; i < n; ++i) {
    Component c;
    c.id = p[6 + 3 * i];
    c.h = p[7 + 3 * i] >> 4;
    c.v = p[7 + 3 * i] & 15;
    if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || p[8 + 3 * i] > 3) return Step::Broken;
    hMax = std::max(hMax, c.h);
    vMax = std::max(vMax, c.v);
    m_frame.comps.push_back(std::move(c));
  }
  m_frame.mcusWide = (width + 8 * hMax - 1) / (8 * hMax);
  m_frame.mcusHigh = (height + 8 * vMax - 1) / (8 * vMax);
  std::uint64_t blocks = 0;
  for (Component& c : m_frame.comps) {
    c.blocksWide = ((width * c.h + hMax - 1) / hMax + 7) / 8;
    c.blocksHigh = ((height * c.v + vMax - 1) / vMax + 7) / 8;
    c.gridWide = m_frame.mcusWide * c.h;
    c.gridHigh = m_frame.mcusHigh * c.v;
    blocks += std::uint64_t{c.gridWide} * c.gridHigh;
  }
  m_frame.progressive = progressive;
  if (progressive) {
    if (blocks > kMaxProgressiveBlocks) return Step::Unsupported;
    for (Component& c : m_frame.comps) c.nonZero.assign(std::size_t{c.gridWide} * c.gridHigh, 0);
  }
  m_frame.seen = true;
  return Step::Ok;
}

Decoder::Step Decoder::tables(std::size_t at, std::uint32_t len) {
  std::size_t pos = at;
  const std::size_t end = at + len;
  while (pos < end) {
    if (end - pos < 17) return Step::Broken;
    const std::uint8_t tc = m_d[pos] >> 4, th = m_d[pos] & 15;
    if (tc > 1 || th > 3) return Step::Broken;
    std::size_t total = 0;
    for (int i = 0; i < 16; ++i) total += m_d[pos + 1 + i];
    if (total > 256 || end - pos - 17 < total) return Step::Broken;
    Huffman& h = (tc == 0 ? m_dc : m_ac)[th];
    if (!h.build(m_d.data() + pos + 1, m_d.data() + pos + 17, total)) return Step::Broken;
    pos += 17 + total;
  }
  return Step::Ok;
}

bool Decoder::block(BitReader& in, Component& c, std::uint32_t bx, std::uint32_t by, int& dcPred) {
  const bool progressive = m_frame.progressive;
  std::uint64_t* nz = progressive ? &c.nonZero[std::size_t{by} * c.gridWide + bx] : nullptr;
  if (m_ss == 0) {  // DC (and, in sequential scans, the AC coefficients after it)
    if (m_ah != 0) {
      (void)in.get(1);  // refinement bit
    } else {
      const int s = decodeSymbol(in, m_dc[c.dcTable]);
      if (s < 0 || s > 15) return false;
      dcPred += static_cast<int>(in.get(static_cast<std::uint32_t>(s)));
    }
    if (progressive) return true;
    for (std::uint32_t k = 1; k <= 63;) {
      const int rs = decodeSymbol(in, m_ac[c.acTable]);
      if (rs < 0) return false;
      const std::uint32_t r = static_cast<std::uint32_t>(rs) >> 4, s = rs & 15;
      if (s == 0) {
        if (r != 15) break;  // end of block
        k += 16;
        if (k > 64) return false;
        continue;
      }
      k += r;
      if (k > 63) return false;
      (void)in.get(s);
      ++k;
    }
    return true;
  }
  if (m_ah == 0) {  // first pass over a band of AC coefficients
    if (m_eobRun > 0) {
      --m_eobRun;
      return true;
    }
    for (std::uint32_t k = m_ss; k <= m_se;) {
      const int rs = decodeSymbol(in, m_ac[c.acTable]);
      if (rs < 0) return false;
      const std::uint32_t r = static_cast<std::uint32_t>(rs) >> 4, s = rs & 15;
      if (s == 0) {
        if (r == 15) {
          k += 16;
          if (k > m_se + 1) return false;
          continue;
        }
        m_eobRun = (1u << r) - 1 + in.get(r);
        break;
      }
      k += r;
      if (k > m_se) return false;
      (void)in.get(s);
      *nz |= std::uint64_t{1} << k;
      ++k;
    }
    return true;
  }
  // Refinement of a band: a correction bit for each coefficient already non-zero, new ones of
  // magnitude one placed among the zero ones.
  std::uint32_t k = m_ss;
  if (m_eobRun == 0) {
    for (; k <= m_se; ++k) {
      const int rs = decodeSymbol(in, m_ac[c.acTable]);
      if (rs < 0) return false;
      int r = rs >> 4;
      const int s = rs & 15;
      if (s != 0) {
        if (s != 1) return false;
        (void)in.get(1);
      } else if (r != 15) {
        m_eobRun = (1u << r) + in.get(static_cast<std::uint32_t>(r));
        break;
      }
      do {
        if ((*nz >> k) & 1u) {
          (void)in.get(1);
        } else if (--r < 0) {
          break;
        }
        ++k;
      } while (k <= m_se);
      if (s != 0) {
        if (k > m_se) return false;
        *nz |= std::uint64_t{1} << k;
      }
    }
  }
  if (m_eobRun > 0) {
    for (; k <= m_se; ++k)
      if ((*nz >> k) & 1u) (void)in.get(1);
    --m_eobRun;
  }
  return true;
}

Decoder::Step Decoder::scan(std::size_t at, std::uint32_t len, std::size_t& next) {
  if (!m_frame.seen || len < 6) return Step::Broken;
  const std::uint8_t* p = m_d.data() + at;
  const std::uint32_t n = p[0];
  if (n < 1 || n > 4 || len != 4 + 2 * n) return Step::Broken;
  std::array<Component*, 4> comps{};
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint8_t id = p[1 + 2 * i];
    const auto it = std::find_if(m_frame.comps.begin(), m_frame.comps.end(),
                                 [&](const Component& c) { return c.id == id; });
    if (it == m_frame.comps.end()) return Step::Broken;
    it->dcTable = p[2 + 2 * i] >> 4;
    it->acTable = p[2 + 2 * i] & 15;
    if (it->dcTable > 3 || it->acTable > 3) return Step::Broken;
    comps[i] = &*it;
  }
  m_ss = p[1 + 2 * n];
  m_se = p[2 + 2 * n];
  m_ah = p[3 + 2 * n] >> 4;
  const std::uint32_t al = p[3 + 2 * n] & 15;
  if (m_frame.progressive) {
    if (m_ss > m_se || m_se > 63 || (m_ss == 0 && m_se != 0) || (m_ss > 0 && n != 1) || m_ah > 13 ||
        al > 13)
      return Step::Broken;
  } else {
    m_ss = 0;
    m_se = 63;
    m_ah = 0;
  }
  // Each table the scan decodes with must be there.
  for (std::uint32_t i = 0; i < n; ++i) {
    const bool needDc = m_ss == 0 && m_ah == 0;
    const bool needAc = m_ss > 0 || !m_frame.progressive;
    if ((needDc && !m_dc[comps[i]->dcTable].defined) ||
        (needAc && !m_ac[comps[i]->acTable].defined))
      return Step::Broken;
  }
  // One component: its own blocks in rows; several: the MCUs.
  const bool single = n == 1;
  const std::uint32_t unitsWide = single ? comps[0]->blocksWide : m_frame.mcusWide;
  const std::uint32_t unitsHigh = single ? comps[0]->blocksHigh : m_frame.mcusHigh;
  const std::uint64_t units = std::uint64_t{unitsWide} * unitsHigh;
  std::uint64_t perUnit = 0;
  for (std::uint32_t i = 0; i < n; ++i) perUnit += single ? 1 : comps[i]->h * comps[i]->v;
  if (units * perUnit > m_blockBudget) return Step::Unsupported;
  m_blockBudget -= units * perUnit;

  BitReader in(m_d.data(), m_d.size(), at + len);
  std::array<int, 4> pred{};
  m_eobRun = 0;
  std::uint32_t restartNo = 0;
  m_broke = at + len;
  // A block that fails once the data has run out says only that the file is short.
  const auto broken = [&]() {
    if (in.ranOut() && !in.foreign()) m_broke = m_d.size();
    return Step::Broken;
  };
  for (std::uint64_t u = 0; u < units; ++u) {
    if (m_restart != 0 && u != 0 && u % m_restart == 0) {
      // The interval's bits end within their last byte, and the expected restart marker follows.
      in.fill();
      if (in.overrun() || in.realBits() >= 8 || !in.atMarker()) return broken();
      const std::size_t mp = in.markerPos();
      if (mp + 1 >= m_d.size() || m_d[mp + 1] != 0xD0 + (restartNo & 7)) return Step::Broken;
      ++restartNo;
      in.restartAt(mp + 2);
      pred.fill(0);
      m_eobRun = 0;
      m_broke = mp + 2;
    }
    const std::uint32_t ux = static_cast<std::uint32_t>(u % unitsWide);
    const std::uint32_t uy = static_cast<std::uint32_t>(u / unitsWide);
    m_broke = in.bytePos();
    for (std::uint32_t i = 0; i < n; ++i) {
      Component& c = *comps[i];
      if (single) {
        if (!block(in, c, ux, uy, pred[i])) return broken();
        continue;
      }
      for (std::uint32_t v = 0; v < c.v; ++v)
        for (std::uint32_t h = 0; h < c.h; ++h)
          if (!block(in, c, ux * c.h + h, uy * c.v + v, pred[i])) return broken();
    }
    if (in.overrun() || in.foreign()) return broken();
  }
  // All blocks decoded: only the last byte's padding may be left before the next marker.
  in.fill();
  if (in.overrun() || in.realBits() >= 8 || !in.atMarker() || m_eobRun != 0) return broken();
  next = in.markerPos();
  return Step::Ok;
}

JpegDecode Decoder::run(std::uint64_t& end) {
  const std::size_t size = m_d.size();
  end = 0;
  if (size < 4 || m_d[0] != 0xFF || m_d[1] != 0xD8) return JpegDecode::Broken;
  m_blockBudget = std::uint64_t{size} * 64 + (std::uint64_t{1} << 22);
  std::size_t pos = 2;
  std::uint32_t scans = 0;
  for (;;) {
    // Data that ends between or inside segments is a short file: it breaks at its end.
    m_broke = size;
    if (pos + 2 > size) break;
    m_broke = pos;
    if (m_d[pos] != 0xFF) break;
    std::size_t mpos = pos + 1;
    while (mpos < size && m_d[mpos] == 0xFF) ++mpos;  // fill bytes
    if (mpos >= size) {
      m_broke = size;
      break;
    }
    const std::uint8_t m = m_d[mpos];
    pos = mpos + 1;
    if (m == 0xD9) {
      if (scans == 0) break;
      end = pos;
      return JpegDecode::Whole;
    }
    if (m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= 0xD8)) break;  // no segment starts so
    if (pos + 2 > size) {
      m_broke = size;
      break;
    }
    const std::uint32_t len = deepscan::be16(m_d.data() + pos);
    if (len < 2) break;
    if (len > size - pos) {
      m_broke = size;
      break;
    }
    const std::size_t body = pos + 2;
    const std::uint32_t blen = len - 2;
    Step step = Step::Ok;
    if (m == 0xC0 || m == 0xC1 || m == 0xC2) {
      step = frame(body, blen, m == 0xC2);
    } else if (m == 0xC4) {
      step = tables(body, blen);
    } else if (m == 0xDD) {
      if (blen != 2) break;
      m_restart = deepscan::be16(m_d.data() + body);
    } else if (m == 0xDA) {
      std::size_t next = 0;
      step = scan(body, blen, next);
      if (step == Step::Ok) {
        ++scans;
        pos = next;
        continue;
      }
    } else if ((m >= 0xC3 && m <= 0xCF) || m == 0xDC || m == 0xDE || m == 0xDF) {
      step = Step::Unsupported;  // arithmetic, lossless and hierarchical coding; DNL
    }
    if (step == Step::Unsupported) return JpegDecode::Unsupported;
    if (step == Step::Broken) break;
    pos = body + blen;
  }
  end = std::min<std::uint64_t>(m_broke, size);
  return JpegDecode::Broken;
}

}  // namespace

JpegDecode FileFormat_DecodeJpeg(std::span<const std::uint8_t> data, std::uint64_t& end) noexcept {
  try {
    Decoder d(data);
    return d.run(end);
  } catch (const std::bad_alloc&) {
    end = 0;
    return JpegDecode::Unsupported;
  }
}
