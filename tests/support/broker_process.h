// How the broker fixture starts, signals and watches the Mosquitto process:
// the one part of it that differs by platform. On Linux the broker is a
// child process; the Windows tests run under Wine, where the broker is the
// build machine's own Mosquitto, a Unix program reached through Wine (see
// win32/broker_process.cpp). Paths here are Unix paths, as the broker sees
// them; HostPath turns one into the path this process opens.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace broker_process {

// A fresh folder of this process's own; empty when none could be made.
std::string MakeFolder();
std::string HostPath(const std::string& unixPath);

// Starts `mosquitto -c conf`, its output discarded; the broker's process id,
// or -1 with `error` set.
pid_t Start(const std::string& program, const std::string& conf, const std::string& folder,
            std::chrono::milliseconds limit, std::string* error);
// The process has ended (or was never there).
bool Ended(pid_t pid);

enum class Signal { Terminate, Kill, Pause, Resume };
// Sends the signal and waits, at most `limit`, until the process shows its
// effect (ended, stopped or running again); false when it did not in time.
bool Send(pid_t pid, Signal signal, std::chrono::milliseconds limit);

}  // namespace broker_process
