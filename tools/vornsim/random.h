// The soak's source of randomness: xoshiro256** seeded through SplitMix64,
// with the few distributions the story needs written out here, so that a seed
// gives the same story with any compiler and standard library (the
// distributions of <random> are not specified bit for bit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace vornsim {

class Random {
 public:
  explicit Random(uint64_t seed) {
    uint64_t x = seed;
    for (uint64_t& word : m_state) word = SplitMix64(x);
  }

  uint64_t Next() {
    const uint64_t result = Rotl(m_state[1] * 5, 7) * 9;
    const uint64_t t = m_state[1] << 17;
    m_state[2] ^= m_state[0];
    m_state[3] ^= m_state[1];
    m_state[1] ^= m_state[2];
    m_state[0] ^= m_state[3];
    m_state[2] ^= t;
    m_state[3] = Rotl(m_state[3], 45);
    return result;
  }

  // Uniform in [0, bound); bound 0 gives 0. Rejection keeps it unbiased.
  uint64_t Below(uint64_t bound) {
    if (bound == 0) return 0;
    const uint64_t threshold = (0 - bound) % bound;  // 2^64 mod bound
    for (;;) {
      const uint64_t r = Next();
      if (r >= threshold) return r % bound;
    }
  }

  // Uniform in [low, high] (inclusive); low when high < low.
  uint64_t Between(uint64_t low, uint64_t high) { return high < low ? low : low + Below(high - low + 1); }

  // True with probability percent / 100.
  bool Percent(unsigned percent) { return Below(100) < percent; }

  // An index picked with the given integer weights (0 when they sum to 0).
  size_t Weighted(std::initializer_list<unsigned> weights) {
    uint64_t total = 0;
    for (unsigned w : weights) total += w;
    uint64_t pick = Below(total);
    size_t index = 0;
    for (unsigned w : weights) {
      if (pick < w) return index;
      pick -= w;
      ++index;
    }
    return 0;
  }

 private:
  static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  static uint64_t SplitMix64(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  uint64_t m_state[4];
};

}  // namespace vornsim
