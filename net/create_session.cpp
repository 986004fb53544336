#include <new>
#include <system_error>

#include "net/direct_session.h"
#include "net/session.h"

#if PIVARO_WITH_MQTT
#include "net/mqtt_session.h"
#endif

INetSession* CreateSession(SessionType type) {
  INetSession* session = nullptr;
  try {
    switch (type) {
      case Direct:
        session = new CDirectSession();
        break;
      case Relay:
#if PIVARO_WITH_MQTT
        session = new CMqttSession();
#endif
        break;
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const std::system_error&) {
    return nullptr;  // the I/O thread could not be started
  }
  AddRef(session);
  return session;
}
