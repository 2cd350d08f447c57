#pragma once

// Helpers of a test (stand-in services, the simulated box, a session bus) end with the test program however
// it ends: a failed assertion, an abort when the X server goes away, a kill. Each child has the kernel send it
// SIGKILL when its parent goes. Start them on the main thread, which lives as long as the program.

#include <QProcess>
#include <QTemporaryFile>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace corvane::test {

inline void endsWithTest(QProcess& process) {
    process.setChildProcessModifier([parent = ::getpid()] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);  // the parent went before the request was made
    });
}

// A session bus of the program's own: the daemon runs in the foreground as our child, and
// DBUS_SESSION_BUS_ADDRESS names it from then on. False when none could be started. It starts no service on
// demand: the desktop's services (a notification daemon, say) would run outside the test, on no display or
// on the test's, and only the services a test starts itself answer.
inline bool startSessionBus() {
    QTemporaryFile config;  // read at the daemon's start only
    if (!config.open()) return false;
    config.write(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
    config.close();
    auto* daemon = new QProcess;  // never deleted: it goes when the program does
    endsWithTest(*daemon);
    daemon->start("dbus-daemon", {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
    if (!daemon->waitForReadyRead(30000)) return false;
    return qputenv("DBUS_SESSION_BUS_ADDRESS", daemon->readLine().trimmed());
}

} // namespace corvane::test
