// SPDX-License-Identifier: LGPL-2.1-or-later
// Overlay blend row kernels: portable, SSE2 and AVX2 (chosen at run time), bit-exact to each other.
#include "internal/render/blend_kernels.h"
#include <cstring>

#include <immintrin.h>

#include <zorvgst/render.h>

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

// The AVX2 kernel forms b * (255 - a) + o * a with one multiply-add of unsigned weights
// (255 - a, a) by signed pixels biased by -128: (255 - a)(b - 128) + a(o - 128) lies within
// +-255 * 128 = 32640, so the pairwise sum never saturates, and adding 128 * 255 back gives the
// exact numerator. Division as in the scalar kernel, through a 16-bit high multiply.
__attribute__((target("avx2"))) void blend_row_avx2(const std::uint8_t* base,
                                                    const std::uint8_t* overlay, std::uint8_t* dst,
                                                    std::size_t pixels) {
    const __m256i alpha_mask = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    const __m256i bias = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i all_ones = _mm256_set1_epi8(static_cast<char>(0xFF));
    const __m256i offset = _mm256_set1_epi16(128 * 255);
    const __m256i magic = _mm256_set1_epi16(static_cast<short>(0x8081));
    // Each pixel's alpha spread over its colour bytes; its own alpha byte gets weight 0, which
    // makes the arithmetic return the base alpha unchanged.
    const __m256i spread_alpha =
        _mm256_setr_epi8(3, 3, 3, -1, 7, 7, 7, -1, 11, 11, 11, -1, 15, 15, 15, -1, 3, 3, 3, -1, 7,
                         7, 7, -1, 11, 11, 11, -1, 15, 15, 15, -1);
    std::size_t i = 0;
    for (; i + 8 <= pixels; i += 8) {
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + i * 4));
        const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(overlay + i * 4));
        __m256i out;
        // One test answers both: no alpha bit set (all transparent), every alpha bit set (all
        // opaque).
        if (_mm256_testz_si256(o, alpha_mask)) {
            out = b;
        } else if (_mm256_testc_si256(o, alpha_mask)) {
            out = _mm256_blendv_epi8(o, b, alpha_mask);
        } else {
            const __m256i a = _mm256_shuffle_epi8(o, spread_alpha);
            const __m256i inverse = _mm256_xor_si256(a, all_ones);
            const __m256i biased_b = _mm256_xor_si256(b, bias);
            const __m256i biased_o = _mm256_xor_si256(o, bias);
            // Unpacking and packing both work within 128-bit lanes, so pixel order is kept.
            const __m256i lo = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(inverse, a),
                                                    _mm256_unpacklo_epi8(biased_b, biased_o));
            const __m256i hi = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(inverse, a),
                                                    _mm256_unpackhi_epi8(biased_b, biased_o));
            const __m256i q_lo =
                _mm256_srli_epi16(_mm256_mulhi_epu16(_mm256_add_epi16(lo, offset), magic), 7);
            const __m256i q_hi =
                _mm256_srli_epi16(_mm256_mulhi_epu16(_mm256_add_epi16(hi, offset), magic), 7);
            out = _mm256_packus_epi16(q_lo, q_hi);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i * 4), out);
    }
    // Clean upper halves before legacy SSE code runs: the compiler omits this before a tail
    // call, and a dirty state slows every later SSE instruction of the process several times.
    _mm256_zeroupper();
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
