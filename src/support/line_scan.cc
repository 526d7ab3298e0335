#include "support/line_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
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

// Every line end is one CR, one LF or one CR LF pair, and every line but a last
// one without an end is followed by exactly one line end. So the lines are
// the CRs plus the LFs less the CR LF pairs, plus one for an unended last line.
LineCount count_lines(std::string_view text) {
  std::size_t crs = 0;
  std::size_t lfs = 0;
  std::size_t pairs = 0;
  const char* p = text.data();
  const char* const end = p + text.size();
#if defined(__SSE2__)
  // Byte-wise counters: each match subtracts -1; they are summed before any
  // can overflow.
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i zero = _mm_setzero_si128();
  while (end - p > 16) {
    __m128i cr_count = zero;
    __m128i lf_count = zero;
    __m128i pair_count = zero;
    for (int round = 0; round < 255 && end - p > 16; ++round, p += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
      const __m128i is_cr = _mm_cmpeq_epi8(bytes, cr);
      cr_count = _mm_sub_epi8(cr_count, is_cr);
      lf_count = _mm_sub_epi8(lf_count, _mm_cmpeq_epi8(bytes, lf));
      pair_count = _mm_sub_epi8(pair_count, _mm_and_si128(is_cr, _mm_cmpeq_epi8(next, lf)));
    }
    const auto total = [&](__m128i counts) {
      const __m128i sums = _mm_sad_epu8(counts, zero);
      return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    };
    crs += total(cr_count);
    lfs += total(lf_count);
    pairs += total(pair_count);
  }
  // A pair whose CR ended the last block has been counted with it.
#endif
  for (; p < end; ++p) {
    if (*p == '\r') {
      ++crs;
      if (p + 1 < end && p[1] == '\n') ++pairs;
    } else if (*p == '\n') {
      ++lfs;
    }
  }
  LineCount count;
  count.lines = crs + lfs - pairs;
  const bool ended = text.empty() || text.back() == '\r' || text.back() == '\n';
  if (!ended) ++count.lines;
  count.crlf_only = crs == pairs && lfs == pairs && (text.empty() || text.back() == '\n');
  return count;
}

}  // namespace tarnwick
