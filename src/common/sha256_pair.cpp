#include "common/sha256_pair.h"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace qor {
namespace {

// The initial hash value of SHA-256, words A to H.
constexpr std::uint32_t SHA256_INIT[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

#if defined(__x86_64__)
#define QOR_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// The 64 round constants, taken four at a time.
alignas(16) constexpr std::uint32_t SHA256_K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// Registers of both messages while a block is compressed: the state as the
// instructions hold it (words A B E F and C D G H), and four message-schedule
// words per register, W[4g .. 4g+3] in w[g % 4].
struct PairRegisters {
    __m128i abef[2];
    __m128i cdgh[2];
    __m128i w[2][4];
};

// Rounds 4G to 4G+3 of both messages, each step taken for the first message
// and then for the second so that neither waits on its own last result. The
// schedule words four groups ahead are prepared alongside.
template <int G>
QOR_SHA_TARGET __attribute__((always_inline)) inline void sha256_pair_rounds(
    PairRegisters* r, const std::uint8_t* const* block) {
    const __m128i big_endian = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(SHA256_K + 4 * G));
    __m128i wk[2];
    for (int i = 0; i < 2; ++i) {
        if constexpr (G < 4) {
            const __m128i words =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(block[i] + 16 * G));
            r->w[i][G] = _mm_shuffle_epi8(words, big_endian);
        }
        wk[i] = _mm_add_epi32(r->w[i][G % 4], k);
    }
    for (int i = 0; i < 2; ++i) r->cdgh[i] = _mm_sha256rnds2_epu32(r->cdgh[i], r->abef[i], wk[i]);
    if constexpr (G >= 3 && G < 15) {
        for (int i = 0; i < 2; ++i) {
            __m128i& next = r->w[i][(G + 1) % 4];
            next = _mm_add_epi32(next, _mm_alignr_epi8(r->w[i][G % 4], r->w[i][(G + 3) % 4], 4));
            next = _mm_sha256msg2_epu32(next, r->w[i][G % 4]);
        }
    }
    for (int i = 0; i < 2; ++i) {
        r->abef[i] = _mm_sha256rnds2_epu32(r->abef[i], r->cdgh[i], _mm_shuffle_epi32(wk[i], 0x0E));
    }
    if constexpr (G >= 1 && G < 13) {
        for (int i = 0; i < 2; ++i) {
            r->w[i][(G + 3) % 4] = _mm_sha256msg1_epu32(r->w[i][(G + 3) % 4], r->w[i][G % 4]);
        }
    }
}

template <int... G>
QOR_SHA_TARGET __attribute__((always_inline)) inline void sha256_pair_block(
    PairRegisters* r, const std::uint8_t* const* block, std::integer_sequence<int, G...>) {
    (sha256_pair_rounds<G>(r, block), ...);
}

// Compresses `blocks` 64-byte blocks of each message into state.
QOR_SHA_TARGET void sha256_pair_compress(std::uint32_t (*state)[8], const std::uint8_t* first,
                                         const std::uint8_t* second, std::size_t blocks) {
    PairRegisters r;
    for (int i = 0; i < 2; ++i) {
        r.abef[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(state[i]));
        r.cdgh[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(state[i] + 4));
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::uint8_t* block[2] = {first + 64 * b, second + 64 * b};
        const __m128i abef[2] = {r.abef[0], r.abef[1]};
        const __m128i cdgh[2] = {r.cdgh[0], r.cdgh[1]};
        sha256_pair_block(&r, block, std::make_integer_sequence<int, 16>{});
        for (int i = 0; i < 2; ++i) {
            r.abef[i] = _mm_add_epi32(r.abef[i], abef[i]);
            r.cdgh[i] = _mm_add_epi32(r.cdgh[i], cdgh[i]);
        }
    }
    for (int i = 0; i < 2; ++i) {
        _mm_store_si128(reinterpret_cast<__m128i*>(state[i]), r.abef[i]);
        _mm_store_si128(reinterpret_cast<__m128i*>(state[i] + 4), r.cdgh[i]);
    }
}

bool cpu_has_sha() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    const bool ssse3_sse41 = (ecx & (1u << 9)) != 0 && (ecx & (1u << 19)) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
    return ssse3_sse41 && (ebx & (1u << 29)) != 0;
}
#else
void sha256_pair_compress(std::uint32_t (*)[8], const std::uint8_t*, const std::uint8_t*,
                          std::size_t) {}
bool cpu_has_sha() {
    return false;
}
#endif

// Where each of the words A to H sits in a state: the instructions keep them
// as F E B A in one register and H G D C in the other.
constexpr int SHA256_LANE_WORD[8] = {3, 2, 7, 6, 1, 0, 5, 4};

// Messages whose digests the processor's instructions must reproduce before
// they are trusted: both padding cases, a whole block, and blocks fed directly.
bool sha256_pair_matches_libcrypto() {
    std::uint8_t message[2][300];
    for (std::size_t i = 0; i < sizeof message[0]; ++i) {
        message[0][i] = static_cast<std::uint8_t>(i * 131 + 7);
        message[1][i] = static_cast<std::uint8_t>(i * 29 + 201);
    }
    Sha256Pair pair(true);
    for (std::size_t length : {0u, 3u, 55u, 56u, 64u, 119u, 300u}) {
        std::uint8_t got[2][SHA256_DIGEST_BYTES];
        std::uint8_t want[SHA256_DIGEST_BYTES];
        pair.update(message[0], message[1], length);
        pair.finish(got[0], got[1]);
        for (int i = 0; i < 2; ++i) {
            sha256_oneshot(message[i], length, want);
            if (std::memcmp(got[i], want, sizeof want) != 0) return false;
        }
    }
    return true;
}

void store_be64(std::uint8_t* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
}

}  // namespace

bool sha256_pair_has_hw() {
    // Decided once; a second thread deciding at the same time decides alike.
    static const bool has_hw = cpu_has_sha() && sha256_pair_matches_libcrypto();
    return has_hw;
}

Sha256Pair::Sha256Pair(bool accelerated) {
    if (!accelerated) {
        libcrypto_[0].emplace();
        libcrypto_[1].emplace();
    }
    reset();
}

void Sha256Pair::reset() {
    for (auto& lane : state_) {
        for (int word = 0; word < 8; ++word) lane[SHA256_LANE_WORD[word]] = SHA256_INIT[word];
    }
    buffered_ = 0;
    length_ = 0;
}

void Sha256Pair::update(const void* first, const void* second, std::size_t length) {
    if (libcrypto_[0]) {
        libcrypto_[0]->update(first, length);
        libcrypto_[1]->update(second, length);
        return;
    }
    const std::uint8_t* in[2] = {static_cast<const std::uint8_t*>(first),
                                 static_cast<const std::uint8_t*>(second)};
    length_ += length;
    if (buffered_ != 0) {
        const std::size_t take = std::min(length, BLOCK_BYTES - buffered_);
        for (int i = 0; i < 2; ++i) std::memcpy(block_[i] + buffered_, in[i], take);
        buffered_ += take;
        in[0] += take;
        in[1] += take;
        length -= take;
        if (buffered_ < BLOCK_BYTES) return;
        sha256_pair_compress(state_, block_[0], block_[1], 1);
        buffered_ = 0;
    }
    const std::size_t whole = length / BLOCK_BYTES;
    sha256_pair_compress(state_, in[0], in[1], whole);
    buffered_ = length - whole * BLOCK_BYTES;
    for (int i = 0; i < 2; ++i) std::memcpy(block_[i], in[i] + whole * BLOCK_BYTES, buffered_);
}

void Sha256Pair::finish(std::uint8_t* first_digest, std::uint8_t* second_digest) {
    std::uint8_t* digest[2] = {first_digest, second_digest};
    if (libcrypto_[0]) {
        libcrypto_[0]->finish(digest[0]);
        libcrypto_[1]->finish(digest[1]);
        return;
    }
    // One 0x80 byte, zeros, and the length in bits in the last 8 bytes of
    // the last block: one block more when fewer than 9 bytes are left.
    std::uint8_t tail[2][2 * BLOCK_BYTES] = {};
    const std::size_t tail_bytes = buffered_ + 9 <= BLOCK_BYTES ? BLOCK_BYTES : 2 * BLOCK_BYTES;
    for (int i = 0; i < 2; ++i) {
        std::memcpy(tail[i], block_[i], buffered_);
        tail[i][buffered_] = 0x80;
        store_be64(tail[i] + tail_bytes - 8, length_ * 8);
    }
    sha256_pair_compress(state_, tail[0], tail[1], tail_bytes / BLOCK_BYTES);
    for (int i = 0; i < 2; ++i) {
        for (int word = 0; word < 8; ++word) {
            const std::uint32_t value = state_[i][SHA256_LANE_WORD[word]];
            for (int b = 0; b < 4; ++b) {
                digest[i][4 * word + b] = static_cast<std::uint8_t>(value >> (24 - 8 * b));
            }
        }
    }
    reset();
}

}  // namespace qor
