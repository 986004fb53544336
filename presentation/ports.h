// The platform facilities the presentation manager works through.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "presentation/automation.h"
#include "presentation/desktop.h"
#include "presentation/process_list.h"
#include "presentation/registry.h"

struct PresentationPorts {
  std::shared_ptr<IAutomationFactory> automation;
  std::shared_ptr<IDesktop> desktop;
  std::shared_ptr<IProcessList> processes;
  std::shared_ptr<IRegistry> registry;
  // GetTickCount: milliseconds, wrapping at 2^32. Null means the system's
  // monotonic clock.
  std::function<std::uint32_t()> tickCount;
  // The application's show draws the laser pointer itself whatever its
  // version says (LibreOffice Impress); otherwise that takes PowerPoint 2010
  // or later.
  bool nativePointer = false;
};

// The ports of this platform: the real ones on Windows; on Linux the
// process-wide simulated presentation application (DefaultSimulation() in
// presentation/simulated_office.h) with the real /proc process list.
PresentationPorts DefaultPresentationPorts();

// Milliseconds of a monotonic clock, wrapping at 2^32 like GetTickCount.
std::uint32_t SystemTickCount();
