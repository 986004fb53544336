// Puts an automation object of the simulated presentation application behind
// a real IDispatch, so that a COM local server can hand it to other
// processes: member names get process-wide dispatch ids, objects returned by
// the model become bridged objects of their own, and the application object
// offers a connection point whose advised sinks receive the model's events
// through their IDispatch.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include "presentation/automation.h"

// A new bridged object with one reference for the caller. `application`
// marks the object that answers IConnectionPointContainer. Every bridged
// object counts as a reference on the server process
// (CoAddRefServerProcess), so the server can quit once the last is gone.
IDispatch* BridgeAutomationObject(AutomationPtr object, bool application);
