#include "engine/channel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace core_engine::engine;
using namespace std::chrono_literals;

// Counts live instances to catch leaks and double destruction of queued values.
struct Tracked {
  static inline std::atomic<int> live{0};
  int value = 0;
  explicit Tracked(int v) : value(v) { ++live; }
  Tracked(Tracked&& other) noexcept : value(other.value) { ++live; }
  Tracked& operator=(Tracked&&) = delete;
  ~Tracked() { --live; }
};

TEST(Channel, BoundedFifoGivesRefusedValuesBack) {
  for (const std::size_t capacity : {1U, 2U, 3U, 32U}) {
    auto [tx, rx] = make_channel<std::unique_ptr<int>>(capacity);
    for (std::size_t i = 0; i < capacity; ++i) ASSERT_TRUE(tx.try_send(std::make_unique<int>(int(i))).ok());
    auto refused = tx.try_send(std::make_unique<int>(99));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, SendErrorKind::Full);
    EXPECT_EQ(*refused.error().value, 99);
    for (std::size_t round = 0; round < 3; ++round) {
      for (std::size_t i = 0; i < capacity; ++i) {
        auto got = rx.try_receive();
        ASSERT_TRUE(got.ok()) << "capacity " << capacity;
        EXPECT_EQ(*got.value(), int(round * capacity + i));
      }
      EXPECT_EQ(rx.try_receive().error(), ReceiveError::Empty);
      for (std::size_t i = 0; i < capacity; ++i) {
        ASSERT_TRUE(tx.try_send(std::make_unique<int>(int((round + 1) * capacity + i))).ok());
      }
    }
  }
}

TEST(Channel, ZeroCapacityHoldsOne) {
  auto [tx, rx] = make_channel<int>(0);
  EXPECT_EQ(rx.capacity(), 1U);
  EXPECT_TRUE(tx.try_send(1).ok());
  EXPECT_FALSE(tx.try_send(2).ok());
}

TEST(Channel, DisconnectsWhenTheLastSenderGoesButDeliversWhatWasSent) {
  auto [tx, rx] = make_channel<int>(4);
  Sender<int> copy = tx;
  ASSERT_TRUE(tx.try_send(1).ok());
  { auto gone = std::move(tx); }
  EXPECT_EQ(rx.try_receive().value(), 1);
  EXPECT_EQ(rx.try_receive().error(), ReceiveError::Empty);  // a copy is still alive
  ASSERT_TRUE(copy.try_send(2).ok());
  { auto gone = std::move(copy); }
  EXPECT_EQ(rx.try_receive().value(), 2);
  EXPECT_EQ(rx.try_receive().error(), ReceiveError::Disconnected);
  EXPECT_EQ(rx.receive().error(), ReceiveError::Disconnected);
  EXPECT_EQ(rx.receive_timeout(10ms).error(), ReceiveError::Disconnected);
}

TEST(Channel, DisconnectsWhenTheReceiverGoesAndReleasesQueuedValues) {
  Tracked::live = 0;
  {
    auto [tx, rx] = make_channel<Tracked>(4);
    ASSERT_TRUE(tx.try_send(Tracked(1)).ok());
    ASSERT_TRUE(tx.try_send(Tracked(2)).ok());
    EXPECT_EQ(Tracked::live.load(), 2);
    { auto gone = std::move(rx); }
    auto refused = tx.try_send(Tracked(3));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, SendErrorKind::Disconnected);
  }
  EXPECT_EQ(Tracked::live.load(), 0);
}

TEST(Channel, TimedReceiveTimesOutThenSeesALateValue) {
  auto [tx, rx] = make_channel<int>(1);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(rx.receive_timeout(30ms).error(), ReceiveError::Timeout);
  EXPECT_GE(std::chrono::steady_clock::now() - started, 30ms);
  std::thread late([&tx = tx] {
    std::this_thread::sleep_for(20ms);
    (void)tx.try_send(5);
  });
  auto got = rx.receive_timeout(5s);
  late.join();
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got.value(), 5);
}

TEST(Channel, BlockingReceiveWakesOnSendAndOnDisconnect) {
  auto [tx, rx] = make_channel<int>(1);
  std::thread sender([tx = std::move(tx)]() mutable {
    std::this_thread::sleep_for(20ms);
    (void)tx.try_send(8);
    std::this_thread::sleep_for(20ms);
  });
  EXPECT_EQ(rx.receive().value(), 8);
  EXPECT_EQ(rx.receive().error(), ReceiveError::Disconnected);
  sender.join();
}

// Several producers against one consumer: every value arrives exactly once
// and each producer's values keep their order.
TEST(Channel, ManyProducersOneConsumerLoseNothing) {
  constexpr int PRODUCERS = 3;
  constexpr int PER_PRODUCER = 100'000;
  auto [tx, rx] = make_channel<int>(32);
  std::vector<std::thread> producers;
  for (int p = 0; p < PRODUCERS; ++p) {
    producers.emplace_back([p, tx = tx]() mutable {
      for (int i = 0; i < PER_PRODUCER; ++i) {
        while (!tx.try_send(p * PER_PRODUCER + i).ok()) std::this_thread::yield();
      }
    });
  }
  { auto original = std::move(tx); }
  std::vector<int> next(PRODUCERS, 0);
  int verified = 0;
  for (;;) {
    auto got = rx.receive();
    if (!got.ok()) break;
    const int producer = got.value() / PER_PRODUCER;
    ASSERT_EQ(got.value() % PER_PRODUCER, next[producer]);
    ++next[producer];
    ++verified;
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(verified, PRODUCERS * PER_PRODUCER);
}

}  // namespace
