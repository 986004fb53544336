#include <windows.h>

#include "presentation/ports.h"
#include "presentation/win32/system_ports.h"

PresentationPorts DefaultPresentationPorts() {
  PresentationPorts ports;
  ports.automation = CreateSystemAutomation();
  ports.desktop = CreateSystemDesktop();
  ports.processes = CreateSystemProcessList();
  ports.registry = CreateSystemRegistry();
  ports.tickCount = [] { return static_cast<std::uint32_t>(GetTickCount()); };
  return ports;
}
