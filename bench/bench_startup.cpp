// Start-up time of the real program: from the moment it is started to the moment its main
// window is mapped on the X display, plus its peak resident set size.
//
//   bench_startup RUNS PROGRAM [ARGS...]
//
// Needs DISPLAY (an Xvfb of its own is enough) and runs the program with the xcb platform;
// the window shows up as a MapNotify of a top-level window named "Feldaro 1.2.1". The
// program is then asked to close (SIGTERM) and reaped; its rusage gives the peak RSS.
// libX11 is loaded at run time so the benchmark needs no X development files to link.
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clk = std::chrono::steady_clock;

struct Xlib {
  decltype(&XOpenDisplay) OpenDisplay = nullptr;
  decltype(&XDefaultRootWindow) RootOf = nullptr;
  decltype(&XSelectInput) SelectInput = nullptr;
  decltype(&XPending) Pending = nullptr;
  decltype(&XNextEvent) NextEvent = nullptr;
  decltype(&XFetchName) FetchName = nullptr;
  decltype(&XFree) Free = nullptr;
  decltype(&XConnectionNumber) FdOf = nullptr;
  decltype(&XFlush) Flush = nullptr;

  bool Load() {
    void* h = dlopen("libX11.so.6", RTLD_NOW);
    if (!h) return false;
    auto get = [h](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(h, name));
      return fn != nullptr;
    };
    return get(OpenDisplay, "XOpenDisplay") && get(RootOf, "XDefaultRootWindow") &&
           get(SelectInput, "XSelectInput") && get(Pending, "XPending") &&
           get(NextEvent, "XNextEvent") && get(FetchName, "XFetchName") && get(Free, "XFree") &&
           get(FdOf, "XConnectionNumber") && get(Flush, "XFlush");
  }
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_startup RUNS PROGRAM [ARGS...]\n");
    return 2;
  }
  const int runs = std::max(1, std::atoi(argv[1]));
  Xlib x;
  if (!x.Load()) {
    std::fprintf(stderr, "bench_startup: cannot load libX11.so.6\n");
    return 1;
  }
  Display* dpy = x.OpenDisplay(nullptr);
  if (!dpy) {
    std::fprintf(stderr, "bench_startup: cannot open the display (DISPLAY=%s)\n",
                 getenv("DISPLAY") ? getenv("DISPLAY") : "");
    return 1;
  }
  const Window root = x.RootOf(dpy);
  x.SelectInput(dpy, root, SubstructureNotifyMask);
  x.Flush(dpy);
  setenv("QT_QPA_PLATFORM", "xcb", 1);

  std::vector<double> shown;
  long peakKb = 0;
  for (int r = 0; r < runs; ++r) {
    while (x.Pending(dpy)) {  // forget the previous run's events
      XEvent ev;
      x.NextEvent(dpy, &ev);
    }
    const Clk::time_point t0 = Clk::now();
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
      execv(argv[2], argv + 2);
      _exit(127);
    }
    bool mapped = false;
    double ms = 0;
    while (!mapped) {
      const double waited = std::chrono::duration<double, std::milli>(Clk::now() - t0).count();
      if (waited > 20000) break;
      if (!x.Pending(dpy)) {
        pollfd p{x.FdOf(dpy), POLLIN, 0};
        poll(&p, 1, 50);
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid) {
          std::fprintf(stderr, "bench_startup: the program ended before its window showed\n");
          return 1;
        }
        continue;
      }
      XEvent ev;
      x.NextEvent(dpy, &ev);
      if (ev.type != MapNotify) continue;
      const Clk::time_point at = Clk::now();
      char* name = nullptr;
      if (x.FetchName(dpy, ev.xmap.window, &name) && name) {
        mapped = std::strcmp(name, "Feldaro 1.2.1") == 0;
        x.Free(name);
      }
      if (mapped) ms = std::chrono::duration<double, std::milli>(at - t0).count();
    }
    kill(pid, SIGTERM);
    int st = 0;
    rusage ru{};
    const Clk::time_point k0 = Clk::now();
    while (wait4(pid, &st, WNOHANG, &ru) == 0) {
      if (Clk::now() - k0 > std::chrono::seconds(5)) kill(pid, SIGKILL);
      usleep(2000);
    }
    if (!mapped) {
      std::fprintf(stderr, "bench_startup: no window named \"Feldaro 1.2.1\" within 20 s\n");
      return 1;
    }
    shown.push_back(ms);
    peakKb = std::max(peakKb, long(ru.ru_maxrss));
  }
  std::printf("runs %d\nwindow_shown_ms %.1f\nwindow_shown_min_ms %.1f\npeak_rss_kb %ld\n", runs,
              Median(shown), *std::min_element(shown.begin(), shown.end()), peakKb);
  return 0;
}
