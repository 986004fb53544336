// GDI+'s PNG encoder, which the simulated application's slide drawing and
// the window tests' screenshots both write through. GDI+ must be started.
#pragma once

#include <windows.h>

// The encoder's CLSID; false when GDI+ lists no PNG encoder.
bool FindPngEncoder(CLSID* clsid);
