// The Windows implementations of the presentation ports.
#pragma once

#include <memory>

#include "presentation/automation.h"
#include "presentation/desktop.h"
#include "presentation/registry.h"

struct IDispatch;

// Late-bound IDispatch objects created with CoCreateInstance, events through
// connection points.
std::shared_ptr<IAutomationFactory> CreateSystemAutomation();
// Wraps an IDispatch, taking over the caller's reference.
AutomationPtr WrapDispatch(IDispatch* adopt);
std::shared_ptr<IDesktop> CreateSystemDesktop();
std::shared_ptr<IRegistry> CreateSystemRegistry();
