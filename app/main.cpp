// Corvane: the box's Windows desktop on this computer. One app per user; the box controller does the rest.
#include "app/controller/AppLaunch.hpp"
#include "app/controller/BoxController.hpp"
#include "app/controller/QuitSignals.hpp"
#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/ui/MainWindow.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/instance/SingleInstance.hpp"

#include <QApplication>
#include <QTimer>

#include <filesystem>

int main(int argc, char** argv) {
    using namespace corvane;
    // Pointer capture, the keyboard grab and drag watching speak X11; Wayland desktops run us on XWayland.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Corvane");
    QApplication::setDesktopFileName("corvane");

    platform::SingleInstance instance;
    if (instance.handOffToRunning()) return 0;

    std::vector<std::string> arguments(argv, argv + argc);
    AppLaunch::detect(arguments);

    AppPool pool;
    auto defaults = std::make_shared<platform::UserDefaults>(platform::UserDefaults::standardFile());
    BoxController controller({Clock::system(), pool, defaults, nullptr, {}});
    std::error_code error;
    controller.executable = std::filesystem::canonical("/proc/self/exe", error);

    MainWindow window(controller);
    instance.onShowRequested = [&window] { window.showAndActivate(); };
    if (!AppLaunch::atLogin) window.showAndActivate();
    else window.show();

    // The app quits with its last window only while the tray icon is off (or no tray exists).
    QApplication::setQuitOnLastWindowClosed(!StreamSettings::menuBarEnabled(*defaults) || !window.trayShown());
    // Every way out ("Quit Corvane", SIGINT, SIGTERM) closes the stream window with its log line before
    // Qt closes the windows; aboutToQuit covers a quit that came another way (the last window closed).
    const auto quit = [&controller] {
        controller.shutdown();
        QApplication::quit();
    };
    QuitSignals quitSignals(quit);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &controller, [&controller] { controller.shutdown(); });
    QTimer::singleShot(0, &controller, [&controller] { controller.start(); });
    const int status = QApplication::exec();
    // Work still on the pool (the stream's session stopping) ends before what it uses is destroyed.
    pool.requestStop();
    pool.threads()->waitForDone();
    return status;
}
