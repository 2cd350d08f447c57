#include "app/ui/StatusText.hpp"


namespace corvane {

StatusText::StatusText(const BoxController::Phase& phase, const StreamSettings& settings) {
    using Kind = BoxController::Phase::Kind;
    const auto set = [this](std::string t, std::string d, std::string s, Tint c, bool spin) {
        title = std::move(t);
        detail = std::move(d);
        symbol = std::move(s);
        tint = c;
        spinning = spin;
    };
    switch (phase.kind) {
    case Kind::needsNetworkSetup:
        set("One quick setup step", phase.message + "\nCorvane will fix it. The system will ask for your password once.",
                 "network", Tint::orange, false);
        break;
    case Kind::boxNotReady: set("Box is starting up", phase.message, "hourglass", Tint::orange, true); break;
    case Kind::failed: set("Something went wrong", phase.message, "xmark.octagon", Tint::red, false); break;
    case Kind::starting: set("Starting...", "", "hourglass", Tint::accent, true); break;
    case Kind::waitingForBox:
        set("Plug in your box",
                 "Connect the box to this computer with a Thunderbolt cable and make sure it is powered on.",
                 "cable.connector", Tint::accent, false);
        break;
    case Kind::cableNoAddress:
        set("Cable connected",
                 "The box has not given this computer an address yet. If the box was just turned on, give it a minute. "
                 "You can also connect directly (asks for your password).",
                 "cable.connector", Tint::orange, false);
        break;
    case Kind::boxNotAnswering:
        set("Box connected, not answering",
                 "The cable is connected but the box has not responded yet. If it just turned on, give it a minute. "
                 "Otherwise, make sure Corvane setup was run on the box.",
                 "exclamationmark.triangle", Tint::orange, false);
        break;
    case Kind::pairing: set("Pairing with your box", "This happens once.", "link", Tint::accent, true); break;
    case Kind::ready: set("Ready", "Your box is connected and paired.", "checkmark.circle", Tint::green, false); break;
    case Kind::streaming:
        set("Windows is open",
                 settings.releaseMouseKey.display() + " releases the mouse.\n" + settings.endSessionKey.display() +
                     " ends the session.",
                 "play.rectangle", Tint::green, false);
        break;
    }
}

QColor StatusText::color(Tint tint) { return tintColor(tint); }

} // namespace corvane
