// Seeded random inputs for everything that parses bytes from the bus: the
// parser must classify every input correctly and never read out of bounds
// (run under AddressSanitizer as well).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>

#include "fake_port.hpp"
#include "servocom/feetech_packet.hpp"

namespace servocom {
namespace {

using testing::Bytes;

// Checksum mismatches print a line each; millions of them go to /dev/null.
class SilencedStdout {
 public:
  SilencedStdout() {
    std::fflush(stdout);
    saved_ = ::dup(1);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, 1);
      ::close(null);
    }
  }
  ~SilencedStdout() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      ::dup2(saved_, 1);
      ::close(saved_);
    }
  }
  SilencedStdout(const SilencedStdout&) = delete;
  SilencedStdout& operator=(const SilencedStdout&) = delete;

 private:
  int saved_;
};

class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}
  unsigned below(unsigned n) { return static_cast<unsigned>(rng_() % n); }
  std::uint8_t byte() { return static_cast<std::uint8_t>(rng_()); }

  // A status packet, intact or damaged in one of the ways a noisy bus
  // damages it, written into b (reused: the parses are what is measured).
  void status_like(Bytes& b) {
    b.clear();
    if (below(8) == 0) {  // plain noise, now and then longer than any packet
      b.resize(below(16) == 0 ? below(300) : below(12));
      for (auto& x : b) x = byte();
      return;
    }
    const unsigned n = below(32) == 0 ? below(252) : below(6);
    for (std::uint8_t x : {std::uint8_t{0xFF}, std::uint8_t{0xFF}, static_cast<std::uint8_t>(1 + below(8)),
                           static_cast<std::uint8_t>(n + 2), byte()}) {
      b.push_back(x);
    }
    for (unsigned i = 0; i < n; ++i) b.push_back(byte());
    b.push_back(feetech_checksum(std::span(b).subspan(2)));
    switch (below(6)) {
      case 1: b[below(static_cast<unsigned>(b.size()))] ^= static_cast<std::uint8_t>(1 + below(255)); break;
      case 2: b.resize(below(static_cast<unsigned>(b.size()))); break;
      case 3:
        for (unsigned k = 1 + below(8); k > 0; --k) b.push_back(byte());
        break;
      case 4:  // a lying length byte with a checksum to match
        b[3] = byte();
        b.back() = feetech_checksum(std::span(b).subspan(2, b.size() - 3));
        break;
      default: break;
    }
  }
  Bytes status_like() {
    Bytes b;
    status_like(b);
    return b;
  }

 private:
  std::mt19937_64 rng_;
};

// What from_bytes must answer, worked out from the wire format alone.
enum class Outcome { Ok, Parsing, Checksum, Other };

Outcome expected_outcome(const Bytes& b, std::uint8_t id) {
  if (b.size() < 6) return Outcome::Parsing;
  std::uint8_t sum = 0;
  for (std::size_t i = 2; i + 1 < b.size(); ++i) sum = static_cast<std::uint8_t>(sum + b[i]);
  if (static_cast<std::uint8_t>(~sum) != b.back()) return Outcome::Checksum;
  if (b[2] != id || b.size() - 4 != b[3]) return Outcome::Parsing;
  return Outcome::Ok;
}

Outcome outcome(const Result<StatusPacketFeetech>& r) {
  if (r) return Outcome::Ok;
  switch (r.error().kind()) {
    case Error::Kind::ParsingError: return Outcome::Parsing;
    case Error::Kind::ChecksumError: return Outcome::Checksum;
    default: return Outcome::Other;
  }
}

TEST(FeetechFuzz, StatusParserClassifiesMillionsOfDamagedPackets) {
  SilencedStdout quiet;
  Generator gen(0x5e7f0c0ffeeULL);
  int mismatches = 0;
  std::string first_mismatch;
  int accepted = 0;
  Bytes b;
  for (int i = 0; i < 2'000'000; ++i) {
    gen.status_like(b);
    const std::uint8_t id = gen.below(4) == 0 ? gen.byte() : static_cast<std::uint8_t>(b.size() > 2 ? b[2] : 1);
    const auto r = StatusPacketFeetech::from_bytes(b, id);
    bool right = outcome(r) == expected_outcome(b, id);
    if (r && right) {
      ++accepted;
      right = r->id() == id && r->params().size() == b.size() - 6 &&
              std::equal(r->params().begin(), r->params().end(), b.begin() + 5) && r->errors().size() <= 5;
    }
    if (!right && mismatches++ == 0) first_mismatch = "input " + std::to_string(i) + " of " + std::to_string(b.size()) + " bytes";
  }
  EXPECT_EQ(mismatches, 0) << first_mismatch;
  EXPECT_GT(accepted, 100'000) << "the generator should also produce valid packets";
}

TEST(FeetechFuzz, HandlerSurvivesRandomBusTraffic) {
  SilencedStdout quiet;
  Generator gen(0xb05eedULL);
  FeetechProtocolHandler handler(std::nullopt, [](std::chrono::microseconds) {});
  int successes = 0;
  int bad = 0;
  for (int i = 0; i < 100'000; ++i) {
    testing::FakePort port;
    if (gen.below(4) == 0) port.feed(gen.status_like());  // stale input
    for (unsigned n = gen.below(3); n > 0; --n) port.arriving.push_back(gen.status_like());
    Bytes reply;
    for (unsigned n = gen.below(4); n > 0; --n) {
      const Bytes s = gen.status_like();
      reply.insert(reply.end(), s.begin(), s.end());
    }
    port.reply(reply);
    const Bytes ids{1, 2, 3};
    const auto r = handler.sync_read(port, std::span(ids).first(gen.below(4)), 56, 2);
    if (r) {
      ++successes;
      for (const auto& params : *r) bad += params.size() > 251 ? 1 : 0;
    } else {
      const auto kind = r.error().kind();
      bad += (kind == Error::Kind::ParsingError || kind == Error::Kind::ChecksumError ||
              kind == Error::Kind::TimeoutError || (kind == Error::Kind::Io && r.error().is_retryable()))
                 ? 0
                 : 1;
    }
    if (port.writes > 1) ++bad;
  }
  EXPECT_EQ(bad, 0);
  EXPECT_GT(successes, 500);
}

}  // namespace
}  // namespace servocom
