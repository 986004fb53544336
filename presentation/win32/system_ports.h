// The Windows implementations of the presentation ports.
#pragma once

#include <memory>

#include "presentation/automation.h"
#include "presentation/desktop.h"
#include "presentation/registry.h"

// Late-bound IDispatch objects created with CoCreateInstance, events through
// connection points.
std::shared_ptr<IAutomationFactory> CreateSystemAutomation();
std::shared_ptr<IDesktop> CreateSystemDesktop();
std::shared_ptr<IRegistry> CreateSystemRegistry();
