// Whether this PC currently has a network connection at all. The direct
// session asks it at Start and when a phone's heartbeats stop, to tell a lost
// phone from a lost network.
#pragma once

bool HostHasNetwork();
