// Overlay blend row kernels: portable, SSE2 and AVX2 (chosen at run time), bit-exact to each other.
#include "blend_kernels.h"
#include <cstring>

#include <immintrin.h>

namespace zorvgst::detail {

namespace {

// Exact floor(n / 255) for every n up to 65535: (n * 0x8081) >> 23. The vector kernels use the
// same identity through a 16-bit high multiply followed by a shift of 7.
constexpr std::uint32_t div255(std::uint32_t n) {
    return (n * 0x8081u) >> 23;
}

inline void blend_pixel(const std::uint8_t* b, const std::uint8_t* o, std::uint8_t* d) {
    const std::uint32_t a = o[3];
    if (a == 0) {
        std::memcpy(d, b, 4);
        return;
    }
    if (a == 255) {
        d[0] = o[0];
        d[1] = o[1];
        d[2] = o[2];
        d[3] = b[3];
        return;
    }
    const std::uint32_t inv = 255 - a;
    d[0] = static_cast<std::uint8_t>(div255(b[0] * inv + o[0] * a));
    d[1] = static_cast<std::uint8_t>(div255(b[1] * inv + o[1] * a));
    d[2] = static_cast<std::uint8_t>(div255(b[2] * inv + o[2] * a));
    d[3] = b[3];
}

// Blends 8 bytes (two pixels) widened to 16-bit lanes; the alpha lanes come out as garbage and
// are replaced by the caller.
inline __m128i blend_half_sse2(__m128i b16, __m128i o16) {
    const __m128i c255 = _mm_set1_epi16(255);
    const __m128i magic = _mm_set1_epi16(static_cast<short>(0x8081));
    const __m128i a16 = _mm_shufflehi_epi16(_mm_shufflelo_epi16(o16, 0xFF), 0xFF);
    // Each product is at most 255 * 255 and so is their sum: exact in unsigned 16 bits.
    const __m128i n =
        _mm_add_epi16(_mm_mullo_epi16(b16, _mm_sub_epi16(c255, a16)), _mm_mullo_epi16(o16, a16));
    return _mm_srli_epi16(_mm_mulhi_epu16(n, magic), 7);
}

} // namespace

void blend_row_scalar(const std::uint8_t* base, const std::uint8_t* overlay, std::uint8_t* dst,
                      std::size_t pixels) {
    for (std::size_t i = 0; i < pixels; ++i) {
        blend_pixel(base + i * 4, overlay + i * 4, dst + i * 4);
    }
}

void blend_row_sse2(const std::uint8_t* base, const std::uint8_t* overlay, std::uint8_t* dst,
                    std::size_t pixels) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i alpha_mask = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    std::size_t i = 0;
    for (; i + 4 <= pixels; i += 4) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i * 4));
        const __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i*>(overlay + i * 4));
        const __m128i oa = _mm_and_si128(o, alpha_mask);
        __m128i out;
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(oa, zero)) == 0xFFFF) {
            out = b;
        } else if (_mm_movemask_epi8(_mm_cmpeq_epi32(oa, alpha_mask)) == 0xFFFF) {
            out = _mm_or_si128(_mm_andnot_si128(alpha_mask, o), _mm_and_si128(b, alpha_mask));
        } else {
            const __m128i lo =
                blend_half_sse2(_mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(o, zero));
            const __m128i hi =
                blend_half_sse2(_mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(o, zero));
            const __m128i colour = _mm_packus_epi16(lo, hi);
            out = _mm_or_si128(_mm_andnot_si128(alpha_mask, colour), _mm_and_si128(b, alpha_mask));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * 4), out);
    }
    blend_row_scalar(base + i * 4, overlay + i * 4, dst + i * 4, pixels - i);
}

namespace {

__attribute__((target("avx2"))) inline __m256i blend_half_avx2(__m256i b16, __m256i o16) {
    const __m256i c255 = _mm256_set1_epi16(255);
    const __m256i magic = _mm256_set1_epi16(static_cast<short>(0x8081));
    const __m256i a16 = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(o16, 0xFF), 0xFF);
    const __m256i n = _mm256_add_epi16(_mm256_mullo_epi16(b16, _mm256_sub_epi16(c255, a16)),
                                       _mm256_mullo_epi16(o16, a16));
    return _mm256_srli_epi16(_mm256_mulhi_epu16(n, magic), 7);
}

} // namespace

__attribute__((target("avx2"))) void blend_row_avx2(const std::uint8_t* base,
                                                    const std::uint8_t* overlay, std::uint8_t* dst,
                                                    std::size_t pixels) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i alpha_mask = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    std::size_t i = 0;
    for (; i + 8 <= pixels; i += 8) {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + i * 4));
        const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(overlay + i * 4));
        const __m256i oa = _mm256_and_si256(o, alpha_mask);
        __m256i out;
        if (_mm256_testz_si256(oa, oa)) {
            out = b;
        } else if (static_cast<unsigned>(
                       _mm256_movemask_epi8(_mm256_cmpeq_epi32(oa, alpha_mask))) == 0xFFFFFFFFu) {
            out = _mm256_blendv_epi8(o, b, alpha_mask);
        } else {
            // Unpacking and packing both work within 128-bit lanes, so pixel order is kept.
            const __m256i lo =
                blend_half_avx2(_mm256_unpacklo_epi8(b, zero), _mm256_unpacklo_epi8(o, zero));
            const __m256i hi =
                blend_half_avx2(_mm256_unpackhi_epi8(b, zero), _mm256_unpackhi_epi8(o, zero));
            out = _mm256_blendv_epi8(_mm256_packus_epi16(lo, hi), b, alpha_mask);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i * 4), out);
    }
    // Fewer than 8 pixels left: the SSE2 kernel takes 4 of them and the portable one the rest.
    blend_row_sse2(base + i * 4, overlay + i * 4, dst + i * 4, pixels - i);
}

bool cpu_has_avx2() {
    static const bool has_avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has_avx2;
}

blend_row_fn best_blend_row() {
    return cpu_has_avx2() ? blend_row_avx2 : blend_row_sse2;
}

} // namespace zorvgst::detail
