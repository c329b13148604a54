// SipHash-1-3 (one compression round per 8-byte block, three finalisation
// rounds) over a message made only of whole little-endian 64-bit values,
// which is all the BitMatrix hash feeds it. Each value is one message block,
// so no byte buffering is needed.
#pragma once

#include <bit>
#include <cstdint>

namespace bmf_py {

class SipHash13 {
public:
    SipHash13(std::uint64_t k0, std::uint64_t k1)
        : v0_(k0 ^ 0x736f6d6570736575ull),
          v1_(k1 ^ 0x646f72616e646f6dull),
          v2_(k0 ^ 0x6c7967656e657261ull),
          v3_(k1 ^ 0x7465646279746573ull) {}

    // Appends the 8 little-endian bytes of v to the message. Decoding a block
    // as little-endian gives v back, so the value is the block on any host.
    void write_u64(std::uint64_t v) {
        compress(v);
        length_ += 8;
    }

    // The 64-bit digest of everything written so far.
    std::uint64_t finish() const {
        SipHash13 s = *this;
        // The message is a whole number of blocks, so the final block holds
        // only the length byte.
        s.compress(static_cast<std::uint64_t>(length_ & 0xff) << 56);
        s.v2_ ^= 0xff;
        s.round();
        s.round();
        s.round();
        return s.v0_ ^ s.v1_ ^ s.v2_ ^ s.v3_;
    }

private:
    void compress(std::uint64_t m) {
        v3_ ^= m;
        round();
        v0_ ^= m;
    }

    void round() {
        v0_ += v1_;
        v1_ = std::rotl(v1_, 13);
        v1_ ^= v0_;
        v0_ = std::rotl(v0_, 32);
        v2_ += v3_;
        v3_ = std::rotl(v3_, 16);
        v3_ ^= v2_;
        v0_ += v3_;
        v3_ = std::rotl(v3_, 21);
        v3_ ^= v0_;
        v2_ += v1_;
        v1_ = std::rotl(v1_, 17);
        v1_ ^= v2_;
        v2_ = std::rotl(v2_, 32);
    }

    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t length_ = 0;
};

}  // namespace bmf_py
