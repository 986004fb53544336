// What the program's controller is built from: the real sessions
// (CreateSession), this platform's presentation manager, the process-wide
// report manager, the update check and the service base address.
#pragma once

#include "app/controller.h"

CMainController::Services DefaultServices();
