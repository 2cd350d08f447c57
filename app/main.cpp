// Corvane: the box's Windows desktop on this computer. One app per user; the box controller does the rest.
#include "app/controller/AppLaunch.hpp"
#include "app/controller/BoxController.hpp"
#include "app/controller/QuitSignals.hpp"
#include "app/services/AllocatorPolicy.hpp"
#include "app/services/AppPool.hpp"
#include "app/services/Clock.hpp"
#include "app/services/Log.hpp"
#include "app/services/StreamSettings.hpp"
#include "app/controller/Diagnostics.hpp"
#include "app/controller/ModalKeyboard.hpp"
#include "app/ui/Acknowledgements.hpp"
#include "app/ui/GeneralTab.hpp"
#include "app/ui/MainWindow.hpp"
#include "app/ui/SettingsWindow.hpp"
#include "app/ui/Symbols.hpp"
#include "app/ui/TrayMenu.hpp"
#include "app/updates/AppInfo.hpp"
#include "app/updates/InstallFolder.hpp"
#include "app/updates/UpdateManager.hpp"
#include "platform/defaults/UserDefaults.hpp"
#include "platform/instance/SingleInstance.hpp"

#include <QApplication>
#include <QGuiApplication>
#include <QLayout>
#include <QMenuBar>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include <filesystem>

int main(int argc, char** argv) {
    using namespace corvane;
    AllocatorPolicy::apply();
    // Pointer capture, the keyboard grab and drag watching speak X11; Wayland desktops run us on XWayland.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Corvane");
    QApplication::setDesktopFileName("corvane");
    QApplication::setWindowIcon(Symbols::appIcon());

    platform::SingleInstance instance;
    if (instance.handOffToRunning()) return 0;

    std::vector<std::string> arguments(argv, argv + argc);
    AppLaunch::detect(arguments);

    AppPool pool;
    auto defaults = std::make_shared<platform::UserDefaults>(platform::UserDefaults::standardFile());
    // What reading the settings had to warn of goes to the app log, as everything later.
    Log::takeSettingsWarnings();
    BoxController controller({Clock::system(), pool, defaults, nullptr, {}});
    // The prefix the program was started from, as it was named: its real path may lead out of it.
    const auto started = InstallFolder::startedAs(argc > 0 ? argv[0] : "");
    controller.executable = InstallFolder::programToStart(AppInfo::current().identifier, started);
    controller.updates().runningProgram = started;

    // The main screen as the stream settings see it: its size, scale and refresh rate.
    StreamSettings::setScreenSource([]() -> std::optional<StreamSettings::MainScreen> {
        const QScreen* screen = QGuiApplication::primaryScreen();
        if (!screen) return std::nullopt;
        const QSize size = screen->size();
        return StreamSettings::MainScreen{double(size.width()), double(size.height()), screen->devicePixelRatio(),
                                          screen->refreshRate()};
    });

    // Every way out ("Quit Corvane", SIGINT, SIGTERM) closes the stream window with its log line before
    // Qt closes the windows; aboutToQuit covers a quit that came another way (the last window closed).
    const auto quit = [&controller] {
        controller.shutdown();
        QApplication::quit();
    };

    MainWindow window(controller);
    controller.mainWindow = &window;
    SettingsWindow settings(controller);
    // The app's questions belong to the main window and block the settings window too; the stream window stands
    // apart.
    ModalKeyboard modalKeyboard;
    modalKeyboard.standUnder(settings, window);
    const auto showMain = [&window] { window.showAndActivate(); };
    const auto openSettings = [&settings] { settings.showAndRaise(); };
    window.openSettings = openSettings;
    // The tray decides whether closing the last window quits (no icon: nothing would bring the app back).
    TrayMenu tray(controller, {showMain, openSettings, quit});
    window.setTray(&tray);
    settings.general()->setTray(&tray);
    controller.trayShown = [tray = QPointer<TrayMenu>(&tray)] { return tray && tray->shown(); };

    auto* menuBar = new QMenuBar(&window);
    QMenu* appMenu = menuBar->addMenu("Corvane");
    QObject::connect(appMenu->addAction("Check for Updates..."), &QAction::triggered, &window, [&] {
        showMain();
        controller.updates().checkNow();
    });
    QObject::connect(appMenu->addAction("Acknowledgements"), &QAction::triggered, &window, [] { Acknowledgements::show(); });
    QObject::connect(appMenu->addAction("Settings..."), &QAction::triggered, &window, openSettings);
    appMenu->addSeparator();
    QObject::connect(appMenu->addAction("Quit Corvane"), &QAction::triggered, &window, quit);
    QMenu* helpMenu = menuBar->addMenu("Help");
    QObject::connect(helpMenu->addAction("Save Diagnostics..."), &QAction::triggered, &window,
                     [&] { Diagnostics::save(controller, &window); });
    window.layout()->setMenuBar(menuBar);

    instance.onShowRequested = showMain;
    if (!AppLaunch::atLogin) window.showAndActivate();
    else window.show();

    QuitSignals quitSignals(quit);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &controller, [&controller] { controller.shutdown(); });
    QTimer::singleShot(0, &controller, [&controller] { controller.start(); });
    const int status = QApplication::exec();
    // Work still on the pool (the stream's session stopping) ends before what it uses is destroyed.
    pool.requestStop();
    pool.threads()->waitForDone();
    return status;
}
