#pragma once

#include <optional>

namespace corvane {

// What a restart or shut-down the user asked for leaves behind until the box is back. The box's agent
// answers on for some seconds after it took the request, while Windows winds down: a pass that finds the
// box then has not found it back; only one that finds it after it was gone has. Until then the loop opens
// no Windows by itself, and after a shut-down no automatic wake goes out: the user turned the box off. The
// user asking for the box (Wake Box, Open Windows) or the cable plugged in anew ends it too. A box that still
// answers carryOutSeconds after it took the request did not carry it out (Windows refused it): the loop
// opens Windows again as before, while a shut-down's hold on the wakes stays until a way back.
// Plain state the box controller drives from its pass and its actions, on the main thread.
class PowerRequest final {
public:
    enum class Action { restart, shutdown };
    static constexpr double carryOutSeconds = 300.0;

    // The agent took the action at `now` (uptime seconds).
    void taken(Action action, double now) {
        action_ = action;
        takenAt_ = now;
        boxGone_ = cableGone_ = false;
    }
    // A pass found the agent answering.
    void boxAnswered() {
        if (boxGone_) end();
    }
    // A pass found the agent not answering.
    void boxSilent() { boxGone_ = action_.has_value(); }
    // A pass found no cable address: the box is gone, and an address seen after it is a plug-in anew.
    void cableGone() {
        if (action_) boxGone_ = cableGone_ = true;
    }
    void cableThere() {
        if (cableGone_) end();
    }
    // Wake Box, Open Windows.
    void userAskedForBox() { end(); }

    // The box still answers on its way down.
    bool boxGoing(double now) const { return action_ && !boxGone_ && now - takenAt_ < carryOutSeconds; }
    // No automatic wake undoes the shut-down.
    bool holdsWake() const { return action_ == Action::shutdown; }

private:
    void end() {
        action_.reset();
        boxGone_ = cableGone_ = false;
    }

    std::optional<Action> action_;
    double takenAt_ = 0;
    bool boxGone_ = false;
    bool cableGone_ = false;
};

} // namespace corvane
