#include "net/network_state.h"

#include <windows.h>

#include <sensapi.h>

bool HostHasNetwork() {
  DWORD flags = 0;
  return IsNetworkAlive(&flags) != FALSE;
}
