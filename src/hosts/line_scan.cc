#include "hosts/line_scan.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define TARNWICK_WIDE_COUNT 1  // 32 bytes at a time where the processor has AVX2
#endif

namespace tarnwick {

const char* find_line_end(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  while (end - p >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf)));
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (p < end && *p != '\r' && *p != '\n') ++p;
  return p;
}

const char* find_line_start(const char* begin, const char* p) {
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  while (p - begin >= 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 16));
    const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf)));
    if (mask != 0) return p - 16 + (32 - __builtin_clz(static_cast<unsigned>(mask)));
    p -= 16;
  }
#endif
  while (p > begin && p[-1] != '\r' && p[-1] != '\n') --p;
  return p;
}

namespace {

struct EndCounts {
  std::size_t crs = 0;
  std::size_t lfs = 0;
  std::size_t pairs = 0;
  bool nul = false;

  void add(const EndCounts& more) {
    crs += more.crs;
    lfs += more.lfs;
    pairs += more.pairs;
    nul = nul || more.nul;
  }
};

#if defined(__SSE2__)
// Whole blocks of `size` bytes, at most 255, that can be counted from `p`
// before `end` (the byte after them must be readable).
int whole_blocks(const char* p, const char* end, std::ptrdiff_t size) {
  return static_cast<int>(std::min<std::ptrdiff_t>((end - p - 1) / size, 255));
}

// The CRs, LFs and CR LF pairs in `blocks` 16-byte blocks from `p` (at most
// 255, and the byte after them must be readable). A pair whose CR ends the
// last block counts here. It notes a NUL byte too, as the bytes pass.
EndCounts count_ends(const char* p, int blocks) {
  // Byte-wise counters: each match subtracts -1; at most 255 rounds.
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i zero = _mm_setzero_si128();
  __m128i cr_count = zero;
  __m128i lf_count = zero;
  __m128i pair_count = zero;
  __m128i nuls = zero;
  for (int round = 0; round < blocks; ++round, p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    const __m128i is_cr = _mm_cmpeq_epi8(bytes, cr);
    cr_count = _mm_sub_epi8(cr_count, is_cr);
    lf_count = _mm_sub_epi8(lf_count, _mm_cmpeq_epi8(bytes, lf));
    pair_count = _mm_sub_epi8(pair_count, _mm_and_si128(is_cr, _mm_cmpeq_epi8(next, lf)));
    nuls = _mm_or_si128(nuls, _mm_cmpeq_epi8(bytes, zero));
  }
  const auto total = [&](__m128i counts) {
    const __m128i sums = _mm_sad_epu8(counts, zero);
    return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
           static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  };
  return {total(cr_count), total(lf_count), total(pair_count), _mm_movemask_epi8(nuls) != 0};
}

#endif

#if defined(TARNWICK_WIDE_COUNT)
// As count_ends, 32 bytes at a time.
__attribute__((target("avx2"))) EndCounts count_ends_wide(const char* p, int blocks) {
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i lf = _mm256_set1_epi8('\n');
  const __m256i zero = _mm256_setzero_si256();
  __m256i cr_count = zero;
  __m256i lf_count = zero;
  __m256i pair_count = zero;
  __m256i nuls = zero;
  for (int round = 0; round < blocks; ++round, p += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
    const __m256i is_cr = _mm256_cmpeq_epi8(bytes, cr);
    cr_count = _mm256_sub_epi8(cr_count, is_cr);
    lf_count = _mm256_sub_epi8(lf_count, _mm256_cmpeq_epi8(bytes, lf));
    pair_count = _mm256_sub_epi8(pair_count, _mm256_and_si256(is_cr, _mm256_cmpeq_epi8(next, lf)));
    nuls = _mm256_or_si256(nuls, _mm256_cmpeq_epi8(bytes, zero));
  }
  alignas(32) std::uint64_t sums[3][4];  // each of the four lanes' sum of its bytes
  _mm256_store_si256(reinterpret_cast<__m256i*>(sums[0]), _mm256_sad_epu8(cr_count, zero));
  _mm256_store_si256(reinterpret_cast<__m256i*>(sums[1]), _mm256_sad_epu8(lf_count, zero));
  _mm256_store_si256(reinterpret_cast<__m256i*>(sums[2]), _mm256_sad_epu8(pair_count, zero));
  std::size_t totals[3];
  for (int i = 0; i < 3; ++i) totals[i] = static_cast<std::size_t>(sums[i][0] + sums[i][1] + sums[i][2] + sums[i][3]);
  return {totals[0], totals[1], totals[2], _mm256_movemask_epi8(nuls) != 0};
}

// True where the processor has AVX2 and the system keeps its registers.
// Asked only before a long count: in a virtual machine each question goes to
// the host, and together they cost a short run a tenth of its time.
bool wide_count_allowed() {
  static const bool allowed = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return false;
    unsigned kept = 0, high = 0;
    __asm__("xgetbv" : "=a"(kept), "=d"(high) : "c"(0));
    return (kept & 6) == 6 && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2) != 0;
  }();
  return allowed;
}
#endif

// The last hit of a needle of `n` bytes among the first `candidates` places
// of `text`, searched from the end back, 16 places at a time (the wide one,
// 32); where there is none, `*left` gets the places before the last whole
// block, which it leaves unsearched.
#if defined(__SSE2__)
std::size_t find_last_narrow(const char* text, std::size_t candidates, const char* needle, std::size_t n,
                             std::size_t* left) {
  const __m128i first = _mm_set1_epi8(needle[0]);
  const __m128i last = _mm_set1_epi8(needle[n - 1]);
  for (; candidates >= 16; candidates -= 16) {
    const char* const p = text + candidates - 16;
    const __m128i heads = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i tails = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 1));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(heads, first), _mm_cmpeq_epi8(tails, last))));
    for (; mask != 0; mask &= ~(1u << (31 - __builtin_clz(mask)))) {
      const int at = 31 - __builtin_clz(mask);
      if (std::memcmp(p + at, needle, n) == 0) return static_cast<std::size_t>(p + at - text);
    }
  }
  *left = candidates;
  return std::string_view::npos;
}
#endif

#if defined(TARNWICK_WIDE_COUNT)
__attribute__((target("avx2"))) std::size_t find_last_wide(const char* text, std::size_t candidates, const char* needle,
                                                            std::size_t n, std::size_t* left) {
  const __m256i first = _mm256_set1_epi8(needle[0]);
  const __m256i last = _mm256_set1_epi8(needle[n - 1]);
  for (; candidates >= 32; candidates -= 32) {
    const char* const p = text + candidates - 32;
    const __m256i heads = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i tails = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + n - 1));
    auto mask = static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(heads, first), _mm256_cmpeq_epi8(tails, last))));
    for (; mask != 0; mask &= ~(1u << (31 - __builtin_clz(mask)))) {
      const int at = 31 - __builtin_clz(mask);
      if (std::memcmp(p + at, needle, n) == 0) return static_cast<std::size_t>(p + at - text);
    }
  }
  *left = candidates;
  return std::string_view::npos;
}
#endif

}  // namespace

std::size_t find_last_in(std::string_view text, std::string_view needle) {
  if (text.size() < needle.size()) return std::string_view::npos;
  // Places the needle may start at, from 0; each block's last bytes are read
  // at its last place plus the needle's length less one, within the text.
  std::size_t candidates = text.size() - needle.size() + 1;
#if defined(TARNWICK_WIDE_COUNT)
  if (text.size() >= (1 << 20) && wide_count_allowed()) {
    const std::size_t hit = find_last_wide(text.data(), candidates, needle.data(), needle.size(), &candidates);
    if (hit != std::string_view::npos) return hit;
  }
#endif
#if defined(__SSE2__)
  const std::size_t hit = find_last_narrow(text.data(), candidates, needle.data(), needle.size(), &candidates);
  if (hit != std::string_view::npos) return hit;
#endif
  while (candidates-- > 0) {
    if (std::memcmp(text.data() + candidates, needle.data(), needle.size()) == 0) return candidates;
  }
  return std::string_view::npos;
}

std::size_t skip_lines(const char*& p, const char* end, std::size_t count) {
#if defined(__SSE2__)
  // Stretches are passed by counting their line ends, each counted in the
  // stretch that holds its last byte, until one holds the end that is wanted.
  for (int blocks; (blocks = whole_blocks(p, end, 16)) > 0;) {
    const EndCounts ends = count_ends(p, blocks);
    const std::size_t passed = ends.crs + ends.lfs - ends.pairs;
    if (passed >= count) break;
    count -= passed;
    p += 16 * blocks;
  }
#endif
  for (; count > 0 && p < end; --count) p = skip_line_end(find_line_end(p, end), end);
  return count;
}

// Every line end is one CR, one LF or one CR LF pair, and every line but a last
// one without an end is followed by exactly one line end. So the lines are
// the CRs plus the LFs less the CR LF pairs, plus one for an unended last line.
LineCount count_lines(std::string_view text) {
  EndCounts ends;
  const char* p = text.data();
  const char* const end = p + text.size();
#if defined(TARNWICK_WIDE_COUNT)
  if (text.size() >= (1 << 20) && wide_count_allowed()) {
    for (int blocks; (blocks = whole_blocks(p, end, 32)) > 0; p += 32 * blocks) ends.add(count_ends_wide(p, blocks));
  }
#endif
#if defined(__SSE2__)
  for (int blocks; (blocks = whole_blocks(p, end, 16)) > 0; p += 16 * blocks) ends.add(count_ends(p, blocks));
#endif
  for (; p < end; ++p) {
    if (*p == '\r') {
      ++ends.crs;
      if (p + 1 < end && p[1] == '\n') ++ends.pairs;
    } else if (*p == '\n') {
      ++ends.lfs;
    } else if (*p == '\0') {
      ends.nul = true;
    }
  }
  const bool ended = text.empty() || text.back() == '\r' || text.back() == '\n';
  const bool crlf_only = ends.crs == ends.pairs && ends.lfs == ends.pairs && (text.empty() || text.back() == '\n');
  return {ends.crs + ends.lfs - ends.pairs + (ended ? 0 : 1), crlf_only, ends.nul};
}

}  // namespace tarnwick
