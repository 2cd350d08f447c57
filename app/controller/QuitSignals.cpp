#include "app/controller/QuitSignals.hpp"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace corvane {
namespace {

int pipeFds[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(pipeFds[1], &byte, 1);
}

} // namespace

QuitSignals::QuitSignals(std::function<void()> quit) {
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [quit = std::move(quit)] {
        char buffer[16];
        while (::read(pipeFds[0], buffer, sizeof buffer) > 0) {
        }
        quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

QuitSignals::~QuitSignals() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    notifier_.reset();
    if (pipeFds[0] >= 0) ::close(pipeFds[0]);
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

} // namespace corvane
