#include "presentation/ports.h"
#include "presentation/simulated_office.h"

// Linux has no presentation application: the manager drives the
// process-wide simulation, with the real process list.
PresentationPorts DefaultPresentationPorts() { return DefaultSimulation().Ports(); }
