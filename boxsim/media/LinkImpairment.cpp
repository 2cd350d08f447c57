#include "boxsim/media/LinkImpairment.hpp"

#include <algorithm>

namespace corvane::boxsim {
namespace {

LinkImpairment::Clock::duration millis(double ms) {
    return std::chrono::duration_cast<LinkImpairment::Clock::duration>(
        std::chrono::duration<double, std::milli>(std::clamp(ms, 0.0, 60000.0)));
}

} // namespace

LinkImpairment::LinkImpairment(Options options) : options_(options), random_(options.seed) {}

bool LinkImpairment::roll(double percent) {
    if (percent <= 0) return false;
    if (percent >= 100) return true;
    return std::uniform_real_distribution<double>(0, 100)(random_) < percent;
}

void LinkImpairment::enqueue(Bytes datagram, Clock::time_point due) {
    if (queue_.size() >= maxWaiting) {
        ++stats_.overflowed;
        return;
    }
    // Due times only grow except for a held datagram let go late; keep the queue sorted, ties in order.
    auto at = std::upper_bound(queue_.begin(), queue_.end(), due,
                               [](Clock::time_point t, const Waiting& w) { return t < w.due; });
    queue_.insert(at, Waiting{due, std::move(datagram)});
}

void LinkImpairment::submit(Bytes datagram, Clock::time_point now) {
    ++stats_.submitted;
    if (roll(options_.lossPercent)) {
        ++stats_.dropped;
        return;
    }
    const Clock::time_point due = now + millis(options_.delayMs);
    const bool twice = roll(options_.duplicatePercent);
    if (twice) ++stats_.duplicated;
    if (held_) {
        // The held one goes out right behind this one.
        if (twice) enqueue(datagram, due);
        enqueue(std::move(datagram), due);
        enqueue(std::move(held_->datagram), due);
        held_.reset();
        return;
    }
    if (roll(options_.reorderPercent)) {
        ++stats_.reordered;
        if (twice) enqueue(datagram, due);  // the copy keeps the original's place
        held_ = Waiting{due + millis(options_.maxHoldMs), std::move(datagram)};
        return;
    }
    if (twice) enqueue(datagram, due);
    enqueue(std::move(datagram), due);
}

std::vector<Bytes> LinkImpairment::takeDue(Clock::time_point now) {
    if (held_ && held_->due <= now) {
        enqueue(std::move(held_->datagram), held_->due);
        held_.reset();
    }
    std::vector<Bytes> out;
    while (!queue_.empty() && queue_.front().due <= now) {
        out.push_back(std::move(queue_.front().datagram));
        queue_.pop_front();
    }
    return out;
}

std::optional<LinkImpairment::Clock::time_point> LinkImpairment::nextDue() const {
    std::optional<Clock::time_point> next;
    if (!queue_.empty()) next = queue_.front().due;
    if (held_ && (!next || held_->due < *next)) next = held_->due;
    return next;
}

} // namespace corvane::boxsim
