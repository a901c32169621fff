// String hash with a random seed per map, so that the bucket layout of one map
// says nothing about another's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace core_engine {

class SeededStringHash {
 public:
  using is_transparent = void;

  SeededStringHash();

  std::size_t operator()(std::string_view text) const {
    // FNV-1a over the seed-initialised state, finished with a 64-bit mixer.
    std::uint64_t hash = seed_;
    for (const char c : text) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 0x100000001b3ULL;
    }
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdULL;
    hash ^= hash >> 33;
    return static_cast<std::size_t>(hash);
  }

 private:
  std::uint64_t seed_;
};

// Keeps a map keyed by std::string searchable with a string_view.
struct StringEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

}  // namespace core_engine
