#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/sha256.h"

namespace qor {

// Whether the processor's SHA-256 instructions are there and give the digests
// of libcrypto, checked once per process.
bool sha256_pair_has_hw();

// SHA-256 of two messages of the same length fed side by side, as the block
// comparison feeds a chunk of the snapshot and the same chunk of the target.
// Each round of SHA-256 waits for the one before it, so one message keeps the
// processor's SHA instructions busy only part of the time; two independent
// messages taken round for round fill the gaps. Where the processor has those
// instructions and they give libcrypto's digests, the pair is hashed that way;
// everywhere else through libcrypto, one context per message. The digests
// are SHA-256's either way.
class Sha256Pair {
  public:
    // accelerated = false always takes libcrypto, so that the two can be compared.
    explicit Sha256Pair(bool accelerated = sha256_pair_has_hw());
    Sha256Pair(const Sha256Pair&) = delete;
    Sha256Pair& operator=(const Sha256Pair&) = delete;

    // The next `length` bytes of each message.
    void update(const void* first, const void* second, std::size_t length);
    // Writes both digests (32 bytes each) and starts the next pair of messages.
    void finish(std::uint8_t* first_digest, std::uint8_t* second_digest);

    bool accelerated() const { return !libcrypto_[0].has_value(); }

  private:
    static constexpr std::size_t BLOCK_BYTES = 64;

    // The chaining state of each message in the word order the instructions
    // use, and the bytes of an unfinished block; both messages always hold the
    // same number of them.
    alignas(16) std::uint32_t state_[2][8];
    std::uint8_t block_[2][BLOCK_BYTES];
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
    std::optional<Sha256> libcrypto_[2];

    void reset();
};

}  // namespace qor
