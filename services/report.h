// Usage reports: the interfaces through which the program hands anonymous
// usage reports to the report service.
//
// Calling pattern (every report in the program is sent this way; nobody
// looks at an outcome):
//
//   Report::IReportMgr* mgr = Report::ReportMgr::Instance();
//   if (Report::IReportData* data = mgr->CreateData(Report::ReportCmdUsage)) {
//     data->PutValues(2, 5, Report::Int, 1, 99, Report::Int, 1);
//     mgr->SendData(data, Report::Queued, 0, 0);
//     mgr->ReleaseData(data);
//   }
//
// The entry point calls Initialize once, before any other thread exists,
// sends the start report, and at its very end sends the exit report and
// calls Report::ReportMgr::DestroyInstance(). ReportMgr is declared in
// "services/report_mgr.h", which callers include.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace Report {

// Type codes of the triples given to IReportData::PutValues.
enum ReportValueType : std::int32_t {
  Int = 0,      // int argument
  String = 1,   // const char* argument (narrow text)
  WString = 2,  // const char16_t* argument (wide text)
  Double = 3,   // double argument
};

enum ReportMode : std::int32_t {
  Queued = 0,     // handed to the sender thread; the call returns at once
  Immediate = 1,  // sent on the caller's thread, which waits for the answer
};

constexpr std::int32_t ReportCmdStart = 1880;   // program start
constexpr std::int32_t ReportCmdUpdate = 1881;  // update check and update notice
constexpr std::int32_t ReportCmdUsage = 1882;   // run time, sessions, presentation app

// The numbered fields of the records the program sends, and their values.
namespace Field {
constexpr std::int32_t Done = 1;            // 1880, 1881: 1; 1882: StartOk or StartFailed
constexpr std::int32_t UpdateDownload = 2;  // 1881: the notice ended with its download button
constexpr std::int32_t UpdateClose = 3;     // 1881: the notice ended with its close button
constexpr std::int32_t Lost = 5;            // 1882: LostPhone or LostNetwork
constexpr std::int32_t ConnectingMs = 6;    // 1882: since the controller began connecting
constexpr std::int32_t RunMs = 7;           // 1882 at exit: the program's run time
constexpr std::int32_t AppKind = 9;         // 1882: "wps" or "office"
constexpr std::int32_t AppVersion = 10;     // 1882: the presentation application's version
constexpr std::int32_t Marker = 99;         // 1 in every record
}  // namespace Field
constexpr std::int32_t StartOk = 1;
constexpr std::int32_t StartFailed = 2;
constexpr std::int32_t LostPhone = 1;
constexpr std::int32_t LostNetwork = 2;

// The numbered values of one report. Keys are 32-bit signed integers; a
// value stored under an existing key replaces it. Getters never add or
// change entries. An object belongs to the thread that created it until it
// is handed back with IReportMgr::ReleaseData.
class IReportData {
 public:
  virtual void PutInt(std::int32_t key, std::int32_t value) = 0;
  // 0 when absent or of another type.
  virtual std::int32_t GetInt(std::int32_t key) = 0;
  // A missing key or one of another type counts as 0.
  virtual void AddInt(std::int32_t key, std::int32_t delta) = 0;
  virtual void SubInt(std::int32_t key, std::int32_t delta) = 0;
  // Stores a copy; a null text is ignored.
  virtual void PutString(std::int32_t key, const char* text) = 0;
  // Null when absent or of another type; valid until the key is replaced.
  virtual const char* GetString(std::int32_t key) = 0;
  virtual void PutWString(std::int32_t key, const char16_t* text) = 0;
  virtual const char16_t* GetWString(std::int32_t key) = 0;
  virtual void PutDouble(std::int32_t key, double value) = 0;
  virtual double GetDouble(std::int32_t key) = 0;
  // count triples (key, type, value), stored in order:
  //   Int     value is an int
  //   String  value is a const char*; a null or empty text ends the list
  //           there (neither it nor any later triple is stored)
  //   WString value is a const char16_t*; a null or empty text is skipped
  //   Double  value is a double
  // A count of 0 or less stores nothing. An unknown type code also ends the
  // list, since the size of its value cannot be known.
  virtual void PutValues(std::int32_t count, ...) = 0;

 protected:
  ~IReportData() = default;
};

class IReportMgr {
 public:
  // Sets what every report carries besides its own values: the machine
  // GUID, softid, serviceid, version and supply id. Null texts count as
  // empty. Called once at start, before any other thread exists.
  virtual void Initialize(std::int32_t softId, std::int32_t serviceId, const char16_t* version,
                          const char16_t* supplyId) = 0;
  // A new empty data object carrying cmdId, or null.
  virtual IReportData* CreateData(std::int32_t cmdId) = 0;
  virtual void ReleaseData(IReportData* data) = 0;
  // Sends length bytes of body unchanged as a report body. False when body
  // is null or mode is neither Queued nor Immediate.
  virtual bool SendText(std::int32_t unused1, const char* body, std::int32_t length,
                        std::int32_t mode, std::int32_t unused2, std::int32_t unused3) = 0;
  // Builds the report record from data and sends it in mode. Nothing
  // happens for a null data object or an unknown mode.
  virtual void SendData(IReportData* data, std::int32_t mode, std::int32_t unused1,
                        std::int32_t unused2) = 0;

 protected:
  ~IReportMgr() = default;
};

// One mutex for every Singleton in the process.
std::mutex& SingletonMutex();

// A process-wide instance of T, made on first use. Instance may be called
// from any thread; DestroyInstance deletes the instance (later Instance
// calls would make a new one) and must not race with users of it.
template <class T, int Tag>
class Singleton {
 public:
  static T* Instance() {
    T* p = instance_.load(std::memory_order_acquire);
    if (p) return p;
    std::lock_guard<std::mutex> lock(SingletonMutex());
    p = instance_.load(std::memory_order_relaxed);
    if (!p) {
      p = new T();
      instance_.store(p, std::memory_order_release);
    }
    return p;
  }

  static void DestroyInstance() {
    std::lock_guard<std::mutex> lock(SingletonMutex());
    delete instance_.exchange(nullptr, std::memory_order_acq_rel);
  }

 private:
  static std::atomic<T*> instance_;
};

template <class T, int Tag>
std::atomic<T*> Singleton<T, Tag>::instance_{nullptr};

}  // namespace Report
