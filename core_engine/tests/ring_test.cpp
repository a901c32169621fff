#include "engine/ring.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

namespace {

using core_engine::engine::make_route_ring;

TEST(RouteRing, CutsAWriteToTheFreeRoomAndKeepsOrderAcrossTheWrap) {
  auto [producer, consumer] = make_route_ring(8);
  const std::vector<float> first = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(producer.write(first), 6U);
  std::vector<float> out(4);
  EXPECT_EQ(consumer.read(out), 4U);
  EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4}));
  // 2 unread, 6 vacant: of these 7 values the last one finds no room.
  const std::vector<float> second = {7, 8, 9, 10, 11, 12, 13};
  EXPECT_EQ(producer.write(second), 6U);
  EXPECT_EQ(consumer.available(), 8U);
  std::vector<float> all(10, -1);
  EXPECT_EQ(consumer.read(all), 8U);
  EXPECT_EQ(std::vector<float>(all.begin(), all.begin() + 8), (std::vector<float>{5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(consumer.read(all), 0U);
}

TEST(RouteRing, FullRingAcceptsNothingUntilRead) {
  auto [producer, consumer] = make_route_ring(4);
  const std::vector<float> values = {1, 2, 3, 4};
  EXPECT_EQ(producer.write(values), 4U);
  EXPECT_EQ(producer.write(values), 0U);
  std::vector<float> out(1);
  EXPECT_EQ(consumer.read(out), 1U);
  EXPECT_EQ(producer.write(values), 1U);
}

TEST(RouteRing, StorageOutlivesEitherEnd) {
  auto [producer, consumer] = make_route_ring(4);
  const std::vector<float> values = {1, 2};
  producer.write(values);
  { auto dropped = std::move(producer); }
  std::vector<float> out(2);
  EXPECT_EQ(consumer.read(out), 2U);
  EXPECT_EQ(out, values);
}

// A real producer thread streams a known sequence in odd-sized pieces; the
// consumer checks every value it receives, in order, and nothing is lost.
TEST(RouteRing, ConcurrentProducerAndConsumerSeeEveryValueInOrder) {
  constexpr std::size_t TOTAL = 2'000'000;
  auto [producer, consumer] = make_route_ring(4096);
  std::thread writer([&producer = producer] {
    std::vector<float> piece(317);
    std::size_t next = 0;
    while (next < TOTAL) {
      const std::size_t n = std::min(piece.size(), TOTAL - next);
      for (std::size_t i = 0; i < n; ++i) piece[i] = static_cast<float>((next + i) % 1'000'003);
      std::size_t sent = 0;
      while (sent < n) {
        sent += producer.write(std::span<const float>(piece).subspan(sent, n - sent));
        if (sent < n) std::this_thread::yield();
      }
      next += n;
    }
  });
  std::vector<float> out(1000);
  std::size_t verified = 0;
  while (verified < TOTAL) {
    const std::size_t n = consumer.read(out);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(out[i], static_cast<float>((verified + i) % 1'000'003)) << "at value " << verified + i;
    }
    verified += n;
    if (n == 0) std::this_thread::yield();
  }
  writer.join();
  EXPECT_EQ(verified, TOTAL);
}

}  // namespace
