// The automation port: objects of the presentation application's object
// model, reached by member name (late binding), and the application-events
// connection. On Windows an object wraps an IDispatch; on Linux the simulated
// presentation application answers the same members.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// COM result codes, kept under names of our own so that this header can sit
// beside <windows.h> without its macros getting in the way.
using HResult = std::int32_t;
constexpr HResult kOk = 0;
constexpr HResult kFalse = 1;
constexpr HResult kNotImplemented = static_cast<HResult>(0x80004001);
constexpr HResult kNoInterface = static_cast<HResult>(0x80004002);
constexpr HResult kPointer = static_cast<HResult>(0x80004003);
constexpr HResult kFail = static_cast<HResult>(0x80004005);
constexpr HResult kOutOfMemory = static_cast<HResult>(0x8007000E);
constexpr HResult kMemberNotFound = static_cast<HResult>(0x80020003);      // DISP_E_MEMBERNOTFOUND
constexpr HResult kUnknownName = static_cast<HResult>(0x80020006);         // DISP_E_UNKNOWNNAME
constexpr HResult kBadParamCount = static_cast<HResult>(0x8002000E);       // DISP_E_BADPARAMCOUNT
constexpr HResult kTypeMismatch = static_cast<HResult>(0x80020005);        // DISP_E_TYPEMISMATCH
constexpr HResult kClassNotRegistered = static_cast<HResult>(0x80040154);  // REGDB_E_CLASSNOTREG
constexpr HResult kInvalidProgId = static_cast<HResult>(0x800401F3);       // CO_E_CLASSSTRING
constexpr HResult kNoConnection = static_cast<HResult>(0x80040200);        // CONNECT_E_NOCONNECTION

inline bool Succeeded(HResult hr) { return hr >= 0; }
inline bool Failed(HResult hr) { return hr < 0; }

class IAutomationObject;
using AutomationPtr = std::shared_ptr<IAutomationObject>;

// A VARIANT reduced to the kinds the presentation layer exchanges.
struct AutoValue {
  enum class Kind : std::uint8_t { Empty, Bool, Int32, Float, Double, Text, Object };

  Kind kind = Kind::Empty;
  bool boolValue = false;
  std::int32_t intValue = 0;
  double number = 0.0;  // Float and Double
  std::u16string text;
  AutomationPtr object;

  static AutoValue Bool(bool v);
  static AutoValue Int32(std::int32_t v);
  static AutoValue Float(float v);
  static AutoValue Double(double v);
  static AutoValue Text(std::u16string v);
  static AutoValue Object(AutomationPtr v);

  // Values that COM writes by reference (objects) are first offered to
  // DISPATCH_PROPERTYPUTREF.
  bool IsReferenceLike() const { return kind == Kind::Object; }
};

// The DISPATCH_* flag of an invocation.
enum class InvokeKind : std::uint16_t {
  Method = 1,          // DISPATCH_METHOD
  PropertyGet = 2,     // DISPATCH_PROPERTYGET
  PropertyPut = 4,     // DISPATCH_PROPERTYPUT
  PropertyPutRef = 8,  // DISPATCH_PROPERTYPUTREF
};

// A 128-bit interface id in its registry layout.
struct InterfaceId {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::uint8_t data4[8];
};
bool operator==(const InterfaceId& a, const InterfaceId& b);
inline bool operator!=(const InterfaceId& a, const InterfaceId& b) { return !(a == b); }

// {914934C2-5A91-11CF-8700-00AA0060263B}: the application-events dispatch
// interface; WPS Presentation raises the same one.
constexpr InterfaceId kApplicationEventsIid = {
    0x914934C2, 0x5A91, 0x11CF, {0x87, 0x00, 0x00, 0xAA, 0x00, 0x60, 0x26, 0x3B}};

// Receiver of an advised event interface. Arguments arrive as COM delivers
// them: the last argument first.
class IAutomationEventSink {
 public:
  virtual ~IAutomationEventSink() = default;
  virtual HResult Invoke(std::int32_t dispatchId, const std::vector<AutoValue>& reversedArgs) = 0;
};

// The thread that owns the automation objects and receives their events.
// On Windows this is a COM single-threaded apartment whose message loop
// delivers the events; elsewhere a source of events hands each delivery to
// the apartment that advised it.
class IApartment {
 public:
  virtual bool Deliver(std::function<void()> call) = 0;

 protected:
  ~IApartment() = default;
};

// The apartment of the calling thread, null on a thread that is none.
std::shared_ptr<IApartment> CurrentApartment();
void SetCurrentApartment(std::shared_ptr<IApartment> apartment);

// One object of the application's object model, resolved by member name.
class IAutomationObject {
 public:
  virtual ~IAutomationObject() = default;

  // GetIDsOfNames(member) and Invoke with the given kind. `args` are in
  // natural order; a put passes its value as the single argument.
  virtual HResult Invoke(const std::u16string& member, InvokeKind kind,
                         const std::vector<AutoValue>& args, AutoValue* result) = 0;

  // The connection-point protocol: FindConnectionPoint(iid), Advise/Unadvise.
  virtual HResult Advise(const InterfaceId& iid, std::shared_ptr<IAutomationEventSink> sink,
                         std::uint32_t* cookie) = 0;
  virtual HResult Unadvise(const InterfaceId& iid, std::uint32_t cookie) = 0;
};

// Creates application objects by class name ("PowerPoint.Application"):
// CLSIDFromProgID then CoCreateInstance on a local server.
class IAutomationFactory {
 public:
  virtual ~IAutomationFactory() = default;
  virtual HResult Create(const std::u16string& progId, AutomationPtr* application) = 0;
  // Called on a thread before its first and after its last automation call
  // (CoInitializeEx / CoUninitialize on Windows); each thread enters its
  // own apartment, and pairs on one thread nest.
  virtual void EnterApartment() {}
  virtual void LeaveApartment() {}
};

// Property read, method call and property write by name. A failed call
// leaves `*result` empty.
HResult GetProperty(IAutomationObject* object, const std::u16string& member, AutoValue* result);
HResult GetObjectProperty(IAutomationObject* object, const std::u16string& member,
                          AutomationPtr* result);
HResult CallMethod(IAutomationObject* object, const std::u16string& member,
                   const std::vector<AutoValue>& args, AutoValue* result);
// Writes a property; a reference-like value tries PROPERTYPUTREF first and
// falls back to PROPERTYPUT when that fails.
HResult PutProperty(IAutomationObject* object, const std::u16string& member,
                    const AutoValue& value);
