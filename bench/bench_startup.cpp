// The utility's start-up as its user meets it: from starting the program to
// its window mapped on the X server, beside two Qt programs that show a window
// of the same size, one bare and one with a single label. The three start in
// turn, so that each ratio compares starts made under the same conditions.
// The label's window pays for what any Qt window with text pays (fontconfig
// reading its configuration, the font database, a font engine); what the
// utility costs beyond it is its own (its face, its controls, its logo).
//
//   xvfb-run -a -s "-screen 0 1280x1024x24" build/release/bench/bench_startup

#include <benchmark/benchmark.h>

#include <X11/Xlib.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Started {
    double milliseconds = 0;
    double peakMiB = 0;
    bool mapped = false;
};

// True once a top-level window (no menu or tooltip) is mapped, within `bound`.
bool AwaitMappedWindow(Display* display, std::chrono::steady_clock::time_point bound) {
    const int connection = ConnectionNumber(display);
    while (std::chrono::steady_clock::now() < bound) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            XWindowAttributes attributes;
            if (event.type == MapNotify && XGetWindowAttributes(display, event.xmap.window, &attributes) &&
                !attributes.override_redirect)
                return true;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(connection, &readable);
        timeval step{0, 100'000};
        ::select(connection + 1, &readable, nullptr, nullptr, &step);
    }
    return false;
}

Started Start(Display* display, const char* program, const char* argument, const char* folder) {
    XSync(display, True);  // nothing of an earlier start is taken for this one
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const int nowhere = ::open("/dev/null", O_WRONLY);
        ::dup2(nowhere, STDOUT_FILENO);
        ::dup2(nowhere, STDERR_FILENO);
        if (::chdir(folder) == 0)
            ::execl(program, program, argument, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    Started started;
    if (child < 0)
        return started;
    started.mapped = AwaitMappedWindow(display, start + std::chrono::seconds(10));
    started.milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    ::kill(child, SIGTERM);
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    started.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    // The X server frees the ended program's resources after it has gone.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return started;
}

void StartToMappedWindow(benchmark::State& state) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        state.SkipWithError("no X display: run it under xvfb-run");
        return;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    for (auto _ : state) {
        const Started utility = Start(display, QEFF_UTILITY, nullptr, QEFF_UTILITY_FOLDER);
        const Started bare = Start(display, QEFF_YARDSTICK, "bare", ".");
        const Started label = Start(display, QEFF_YARDSTICK, "label", ".");
        if (!utility.mapped || !bare.mapped || !label.mapped) {
            state.SkipWithError("a program showed no window within 10 s");
            break;
        }
        state.SetIterationTime(utility.milliseconds / 1000.0);
        state.counters["utility_ms"] = utility.milliseconds;
        state.counters["bare_window_ms"] = bare.milliseconds;
        state.counters["label_window_ms"] = label.milliseconds;
        state.counters["utility_vs_bare"] = utility.milliseconds / bare.milliseconds;
        state.counters["utility_vs_label"] = utility.milliseconds / label.milliseconds;
        state.counters["label_vs_bare"] = label.milliseconds / bare.milliseconds;
        state.counters["utility_peak_MiB"] = utility.peakMiB;
        state.counters["bare_peak_MiB"] = bare.peakMiB;
        state.counters["label_peak_MiB"] = label.peakMiB;
    }
    XCloseDisplay(display);
}

// One start of each program a repetition; the median of 21 is the figure.
BENCHMARK(StartToMappedWindow)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(21)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
