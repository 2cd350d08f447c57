#pragma once
// The main of a benchmark that shows windows: its own virtual X display (Xvfb, Mesa's software OpenGL),
// XDG folders of its own (removed at the end) and a QApplication, then the benchmarks asked for.
#include "bench/BenchSupport.hpp"
#include "tests/support/XvfbDisplay.hpp"

#include <benchmark/benchmark.h>

#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace corvane::bench {

// Whether the arguments ask for the brief run CI makes (--benchmark_min_time below 0.5).
inline bool briefRun(int argc, char** argv) {
    const std::string flag = "--benchmark_min_time=";
    for (int i = 1; i < argc; ++i)
        if (const std::string arg = argv[i]; arg.rfind(flag, 0) == 0 && std::atof(arg.c_str() + flag.size()) < 0.5)
            return true;
    return false;
}

// `screen` as Xvfb takes it ("1920x1080x24").
inline int runOnVirtualDisplay(int argc, char** argv, const std::string& screen) {
    const std::filesystem::path folder = privateFolder();
    {
        test::XvfbDisplay display(screen);
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("LIBGL_ALWAYS_SOFTWARE", "1");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
        int qtArgc = 1;
        char name[] = "bench";
        char* qtArgv[] = {name, nullptr};
        QApplication app(qtArgc, qtArgv);
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    std::filesystem::remove_all(folder);
    return 0;
}

}  // namespace corvane::bench
