// corvane-boxsim: a whole simulated box (streaming host, RTSP, control and media ports) on a loopback
// address, until SIGINT or SIGTERM. A client that starts a stream gets the moving test picture and tones,
// unless --no-media; --picture desktop sends a busy desktop instead of the colour bars, --loop FRAMES encodes
// only that many pictures and sends them round and round (for sizes too large to encode live); --still sends
// a picture only when it changes (a keyframe asked for still comes), --first-frame N numbers a stream's
// pictures from N; the impairment options spoil either stream on its way, --video-lose-first loses every
// datagram of a stream's first picture. The box offers no update of its software unless
// --offer COMPONENT=VERSION names one ("agent", "host" or "gamepad"; repeat it for more).
// A restart or shut-down asked of its agent comes --power-delay SECONDS (4) later, the agent answering until
// then, as a real box's does while Windows winds down.
// Lines on standard input act as the user at the box would:
//   pin NNNN     enters a PIN
//   unpair-all   forgets every paired client (the host then answers them as not paired)
//   restart      closes every port for --restart-seconds (3), then opens them again
//   shutdown     closes every port until a Wake-on-LAN packet for its address reaches UDP 9 or 7 (root only)
//   silent       every port accepts and never answers
//   stop         every port refuses
//   start        every port serves again
//   wakes        prints the number of wake packets received
//   send NAME    puts a small text file NAME in the user's outbox, as a file sent from Windows
//   change       the still picture changes (one picture is sent)
//   copy TEXT    Windows copies TEXT
//   clipboard    prints "clipboard " and the text on Windows's clipboard

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "boxsim/Box.hpp"

namespace {

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s --address 127.x.y.z [--hostname NAME] [--uniqueid HEX] [--pin-wait SECONDS]\n"
                 "       [--restart-seconds SECONDS] [--power-delay SECONDS]\n"
                 "       [--no-media] [--parity PERCENT] [--seed N] [--picture bars|desktop] [--loop FRAMES]\n"
                 "       [--still] [--first-frame N]\n"
                 "       [--video-loss PERCENT] [--video-reorder PERCENT] [--video-duplicate PERCENT] [--video-delay MS]\n"
                 "       [--video-lose-first]\n"
                 "       [--audio-loss PERCENT] [--audio-reorder PERCENT] [--audio-duplicate PERCENT] [--audio-delay MS]\n"
                 "       [--offer COMPONENT=VERSION]...\n",
                 program);
    return 2;
}

// A media option; false when `arg` is none of them or its value is not a number in range.
bool mediaOption(std::string_view arg, const char* value, corvane::boxsim::Box::Options& options) {
    char* end = nullptr;
    const double number = std::strtod(value, &end);
    if (end == value || *end != '\0' || !(number >= 0)) return false;
    auto& media = options.media;
    const bool percent = number <= 100;
    using Source = corvane::boxsim::VideoSource;
    if (arg == "--parity") {
        if (number > 255) return false;
        media.parityPercent = static_cast<int>(number);
    } else if (arg == "--loop") {
        if (number > Source::maxLoopFrames || number != static_cast<int>(number)) return false;
        media.format.loopFrames = static_cast<int>(number);
    } else if (arg == "--first-frame") {
        if (number > 0xFFFFFFFFu || number != static_cast<std::uint32_t>(number)) return false;
        media.firstFrameIndex = static_cast<std::uint32_t>(number);
    } else if (arg == "--seed") {
        media.videoLink.seed = static_cast<std::uint64_t>(number);
        media.audioLink.seed = static_cast<std::uint64_t>(number) + 1;
    } else if (arg == "--video-delay" || arg == "--audio-delay") {
        if (number > 10000) return false;
        (arg[2] == 'v' ? media.videoLink : media.audioLink).delayMs = number;
    } else if (percent && (arg == "--video-loss" || arg == "--audio-loss")) {
        (arg[2] == 'v' ? media.videoLink : media.audioLink).lossPercent = number;
    } else if (percent && (arg == "--video-reorder" || arg == "--audio-reorder")) {
        (arg[2] == 'v' ? media.videoLink : media.audioLink).reorderPercent = number;
    } else if (percent && (arg == "--video-duplicate" || arg == "--audio-duplicate")) {
        (arg[2] == 'v' ? media.videoLink : media.audioLink).duplicatePercent = number;
    } else {
        return false;
    }
    return true;
}

// Hands complete lines of standard input to the box; false once input has ended.
bool readInput(corvane::boxsim::Box& box, std::string& pending) {
    char buffer[1024];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t end = 0;
    while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        using Ports = corvane::boxsim::BoxPower::Ports;
        auto& power = box.power();
        if (line.rfind("pin ", 0) == 0 && line.size() > 4) {
            box.host().enterPin(line.substr(4));
            std::printf("pin entered\n");
        } else if (line == "unpair-all") {
            box.host().forgetClients();
            box.agent().setPairedClients(0);
            std::printf("unpaired all\n");
        } else if (line == "restart") {
            power.restart();
            std::printf("restarting\n");
        } else if (line == "shutdown") {
            power.shutdown();
            std::printf(power.wakeListening() ? "shut down\n" : "shut down (no wake ports: start brings it back)\n");
        } else if (line == "silent" || line == "stop" || line == "start") {
            power.setPorts(line == "silent" ? Ports::silent : line == "stop" ? Ports::stopped : Ports::open);
            std::printf("ports %s\n", line == "silent" ? "silent" : line == "stop" ? "stopped" : "open");
        } else if (line.rfind("send ", 0) == 0 && line.size() > 5) {
            static int sent = 0;
            const std::string name = line.substr(5);
            box.agent().addOutboxItem({"sent-" + std::to_string(++sent),
                                       {{name, "Sent from Windows on the simulated box.\n", std::nullopt}}, {}, {}});
            std::printf("sent %s\n", name.c_str());
        } else if (line.rfind("copy ", 0) == 0 && line.size() > 5) {
            box.agent().setWindowsClipboardText(line.substr(5));
            std::printf("copied\n");
        } else if (line == "clipboard") {
            std::printf("clipboard %s\n", box.agent().clipboard().text.c_str());
        } else if (line == "change") {
            box.media().changePicture();
            std::printf("picture changed\n");
        } else if (line == "wakes") {
            std::printf("wake packets %zu\n", power.wakePackets());
        } else if (!line.empty()) {
            std::fprintf(stderr, "corvane-boxsim: unknown command: %s\n", line.c_str());
        }
    }
    // A line without an end never grows past a sane length.
    if (pending.size() > 4096) pending.clear();
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    corvane::boxsim::Box::Options options;
    options.address.clear();
    options.streamMedia = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--no-media") {
            options.streamMedia = false;
            continue;
        }
        if (arg == "--still" || arg == "--video-lose-first") {
            (arg == "--still" ? options.media.stillPicture : options.media.loseFirstPicture) = true;
            continue;
        }
        if (i + 1 >= argc) return usage(argv[0]);
        const char* value = argv[++i];
        if (arg == "--address") options.address = value;
        else if (arg == "--hostname") options.host.hostname = options.agent.boxName = value;
        else if (arg == "--uniqueid") options.host.uniqueId = value;
        else if (arg == "--pin-wait") options.host.pinWaitSeconds = std::atof(value);
        else if (arg == "--restart-seconds") options.restartSeconds = std::atof(value);
        else if (arg == "--power-delay") {
            char* end = nullptr;
            const double seconds = std::strtod(value, &end);
            if (end == value || *end != '\0' || !(seconds >= 0 && seconds <= 3600)) return usage(argv[0]);
            options.powerDelaySeconds = seconds;
        } else if (arg == "--picture") {
            const auto picture = corvane::boxsim::VideoSource::pictureNamed(value);
            if (!picture) return usage(argv[0]);
            options.media.format.picture = *picture;
        } else if (arg == "--offer") {
            const std::string_view offer = value;
            const auto equals = offer.find('=');
            if (equals == 0 || equals == std::string_view::npos || equals + 1 == offer.size()) return usage(argv[0]);
            options.agent.available[std::string(offer.substr(0, equals))] = offer.substr(equals + 1);
        } else if (!mediaOption(arg, value, options)) {
            return usage(argv[0]);
        }
    }
    if (options.address.rfind("127.", 0) != 0) return usage(argv[0]);

    // The signals are read from a descriptor, so every thread started later inherits the block.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) return 1;
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0) return 1;
    std::signal(SIGPIPE, SIG_IGN);

    try {
        corvane::boxsim::Box box(options);
        box.start();
        std::printf("ready %s uniqueid %s\n", options.address.c_str(), box.host().uniqueId().c_str());
        std::fflush(stdout);

        std::string pending;
        bool inputOpen = true;
        for (;;) {
            pollfd fds[2] = {{signalFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
            const int count = poll(fds, inputOpen ? 2 : 1, -1);
            if (count < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents & POLLIN) break;
            if (inputOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) inputOpen = readInput(box, pending);
        }
        box.stop();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "corvane-boxsim: %s\n", error.what());
        close(signalFd);
        return 1;
    }
    close(signalFd);
    return 0;
}
