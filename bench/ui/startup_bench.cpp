// Start-up and shut-down of pivaro.exe as a user meets them, under Windows or
// Wine: each run starts the program, times it until its window shows, reads
// the memory it holds once it has settled, closes it as the close box does
// (answering its close question when it asks) and times it until it ended,
// which includes sending its exit record (bounded in time when the report
// service does not answer).
// Prints the median and slowest of every figure.
//
//   pivaro_startup_bench.exe <pivaro.exe> [runs]   (bench/program_startup.sh)
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A visible dialog window with that title (any title when null), other than
// `except`.
HWND WaitForWindow(const wchar_t* title, DWORD timeoutMs, HWND except = nullptr) {
  const DWORD start = GetTickCount();
  while (GetTickCount() - start < timeoutMs) {
    for (HWND w = FindWindowExW(nullptr, nullptr, L"#32770", title); w;
         w = FindWindowExW(nullptr, w, L"#32770", title)) {
      if (w != except && IsWindowVisible(w)) return w;
    }
    Sleep(5);
  }
  return nullptr;
}

struct Run {
  double shownMs = 0, exitMs = 0, workingSetKiB = 0, committedKiB = 0;
};

bool RunOnce(const std::wstring& program, Run* run) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::wstring command = L"\"" + program + L"\"";
  const Clock::time_point t0 = Clock::now();
  if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info))
    return false;
  bool ok = false;
  if (HWND window = WaitForWindow(L"Pivaro", 30000)) {
    run->shownMs = Ms(Clock::now() - t0);
    Sleep(1000);  // start-up reports and the first session traffic settle
    PROCESS_MEMORY_COUNTERS_EX memory{};
    if (GetProcessMemoryInfo(info.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                             sizeof memory)) {
      run->workingSetKiB = memory.WorkingSetSize / 1024.0;
      run->committedKiB = memory.PagefileUsage / 1024.0;
    }
    const Clock::time_point closing = Clock::now();
    PostMessageW(window, WM_CLOSE, 0, 0);
    // Connected programs ask first; waiting ones close at once.
    if (WaitForSingleObject(info.hProcess, 500) == WAIT_TIMEOUT) {
      if (HWND question = WaitForWindow(nullptr, 2000, window))
        PostMessageW(question, WM_COMMAND, MAKEWPARAM(1, 0), 0);
    }
    ok = WaitForSingleObject(info.hProcess, 20000) == WAIT_OBJECT_0;
    run->exitMs = Ms(Clock::now() - closing);
  }
  if (!ok) TerminateProcess(info.hProcess, 9);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return ok;
}

void Print(const char* name, std::vector<double> values, const char* unit) {
  std::sort(values.begin(), values.end());
  std::printf("%-28s median %9.1f %s   max %9.1f %s\n", name, values[values.size() / 2], unit,
              values.back(), unit);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pivaro_startup_bench <pivaro.exe> [runs]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;
  std::vector<double> shown, exited, working, committed;
  for (int i = 0; i < runs; ++i) {
    Run run;
    if (!RunOnce(argv[1], &run)) {
      std::fprintf(stderr, "run %d: the program did not show its window or did not end\n", i + 1);
      return 1;
    }
    shown.push_back(run.shownMs);
    exited.push_back(run.exitMs);
    working.push_back(run.workingSetKiB);
    committed.push_back(run.committedKiB);
  }
  std::printf("%d runs of %ls\n", runs, argv[1]);
  Print("start to window shown", shown, "ms ");
  Print("close to process ended", exited, "ms ");
  Print("working set after 1 s", working, "KiB");
  Print("committed after 1 s", committed, "KiB");
  return 0;
}
