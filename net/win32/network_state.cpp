#include "net/network_state.h"

#include <sensapi.h>
#include <windows.h>

bool HostHasNetwork() {
  DWORD flags = 0;
  return IsNetworkAlive(&flags) != FALSE;
}
