#include "seeded_hash.hpp"

#include <atomic>
#include <random>

namespace core_engine {

SeededStringHash::SeededStringHash() {
  static const std::uint64_t process_seed = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }();
  static std::atomic<std::uint64_t> maps_made{0};
  // splitmix64 of a per-map counter keeps seeds distinct without asking the
  // random device every time.
  std::uint64_t x = process_seed + 0x9e3779b97f4a7c15ULL * (maps_made.fetch_add(1, std::memory_order_relaxed) + 1);
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  seed_ = (x ^ (x >> 31)) ^ 0xcbf29ce484222325ULL;
}

}  // namespace core_engine
