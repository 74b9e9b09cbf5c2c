#include "sim/wire.h"

#include <algorithm>
#include <utility>

namespace velocart::sim {

namespace {

// Nanoseconds per byte are 10 bits / 115200 baud = 781250/9.
constexpr std::int64_t kByteNanosNumerator = 781250;
constexpr std::int64_t kByteNanosDenominator = 9;

// For a numerator of at least zero.
std::int64_t ceilDiv(std::int64_t numerator, std::int64_t denominator) {
    return (numerator + denominator - 1) / denominator;
}

}  // namespace

Nanos lineTime(std::int64_t count) {
    return ceilDiv(count * kByteNanosNumerator, kByteNanosDenominator);
}

Nanos SerialLine::carry(Nanos ready) {
    if (ready > lastDone_) {  // the line was idle: a new run starts
        runStart_ = ready;
        runBytes_ = 0;
    }
    ++runBytes_;
    lastDone_ = runStart_ + lineTime(runBytes_);
    return lastDone_;
}

Wire::Wire(const WireOptions& options, Nanos origin)
    : options_(options), origin_(origin), timerStart_(origin) {}

Nanos Wire::send(Nanos ready, const std::vector<std::uint8_t>& bytes) {
    for (const std::uint8_t value : bytes) unreleased_.push_back({line_.carry(ready), value});
    sent_ += static_cast<std::int64_t>(bytes.size());
    return line_.freeAt();
}

Nanos Wire::gridPointFrom(Nanos time) const {
    if (options_.chunk == 0) return time;
    return origin_ + ceilDiv(std::max<Nanos>(time - origin_, 0), options_.chunk) * options_.chunk;
}

// When the adapter next lets go of bytes, as things stand.
Nanos Wire::nextRelease() const {
    if (unreleased_.empty()) return kNever;
    const Nanos firstDone = unreleased_.front().done;
    if (options_.latencyTimerMs == 0) return firstDone;
    const Nanos period = options_.latencyTimerMs * kNanosPerMs;
    const Nanos periods =
        std::max<Nanos>(1, ceilDiv(std::max<Nanos>(firstDone - timerStart_, 0), period));
    Nanos expiry = timerStart_ + periods * period;
    if (unreleased_.size() < kAdapterPacketBytes) return expiry;
    return std::min(expiry, unreleased_[kAdapterPacketBytes - 1].done);
}

void Wire::release(Nanos at) {
    const bool packets = options_.latencyTimerMs > 0;
    Packet packet{gridPointFrom(at), {}};
    while (!unreleased_.empty() && unreleased_.front().done <= at &&
           (!packets || packet.bytes.size() < kAdapterPacketBytes)) {
        packet.bytes.push_back(unreleased_.front().value);
        unreleased_.pop_front();
    }
    if (packets && packet.bytes.size() == kAdapterPacketBytes) timerStart_ = at;
    released_.push_back(std::move(packet));
}

Nanos Wire::nextHandover() const {
    if (!released_.empty()) return released_.front().due;
    const Nanos at = nextRelease();
    return at == kNever ? kNever : gridPointFrom(at);
}

Nanos Wire::drainedAt() const {
    Wire rest = *this;
    for (Nanos at = rest.nextRelease(); at != kNever; at = rest.nextRelease()) rest.release(at);
    return rest.released_.empty() ? origin_ : rest.released_.back().due;
}

void Wire::takeDue(Nanos now, std::vector<std::uint8_t>& out) {
    for (Nanos at = nextRelease(); at <= now; at = nextRelease()) release(at);
    while (!released_.empty() && released_.front().due <= now) {
        const std::vector<std::uint8_t>& bytes = released_.front().bytes;
        out.insert(out.end(), bytes.begin(), bytes.end());
        handedOver_ += static_cast<std::int64_t>(bytes.size());
        released_.pop_front();
    }
}

}  // namespace velocart::sim
