// The connection to a LibreOffice office over UNO remote protocol on a
// per-user pipe: attaching to an office that listens there or starting one,
// opening a presentation, and the slide show operations Pivaro needs, each
// one bounded in time. The office may hang or die at any moment; no call
// here waits longer than its limit and no UNO exception leaves this class.
//
// All UNO calls run on one thread of the link's own. A caller waits for its
// call up to the limit; a call that overruns it marks the office as hung and
// tears the bridge down, which makes the stuck call return, and the link
// then answers "not connected" until a later Connect finds an office again.
//
// Events (a presentation opened or closed, the show started, moved to
// another slide, ended, the office gone) arrive on UNO's threads and are
// handed to the event handler as they come; it must not block.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct ImpressLinkOptions {
  // The pipe of an office the presenter started; the acceptor string is
  // built from it. An office the link starts itself listens on a pipe of a
  // random name instead, which no one else can guess and take first.
  std::string pipeName;
  // The program that starts the office, found on PATH when it has no slash.
  std::string officeProgram = "soffice";
  // A profile URL (file:///...) for the started office; empty keeps the
  // user's own profile.
  std::string profileUrl;
  std::chrono::milliseconds callLimit{3000};
  // Loading a presentation: a large deck, or one converted from PowerPoint,
  // may take the office longer than any other call.
  std::chrono::milliseconds openLimit{30000};
  // Exporting one slide as an image: a slide full of photos at a large
  // size takes the office a while.
  std::chrono::milliseconds exportLimit{5000};
  // How long a started office may take until its pipe answers.
  std::chrono::milliseconds startLimit{60000};
};

// "pivaro-<uid>": one pipe per user, so that two users on one machine do not
// drive each other's shows.
std::string DefaultImpressPipeName();

// Where LibreOffice keeps the socket of the pipe `pipeName` for this user:
// "/tmp/OSL_PIPE_<uid>_<pipeName>" (/var/tmp, or the office's
// OSL_SOCKET_PATH, where /tmp cannot be written).
std::string ImpressPipeSocketPath(const std::string& pipeName);

// The folder is shared by every user, so whatever sits at the pipe's path
// may be someone else's: it is used only when it is a socket (a link is not
// followed), owned by `uid`, not writable by group or others, in a folder
// others cannot swap it out of.
enum class PipeSocketVerdict { Trusted, Absent, Refused };
// `reason` (for Refused) is a clause such as "it belongs to uid 1001".
PipeSocketVerdict CheckPipeSocket(const std::string& path, uid_t uid, std::string* reason);

enum class ImpressEvent { DocumentOpened, DocumentClosed, ShowBegin, SlideChanged, ShowEnd };

enum class ImpressStep { Next, Previous, First, Last };

class CImpressLink {
 public:
  explicit CImpressLink(ImpressLinkOptions options);
  ~CImpressLink();

  CImpressLink(const CImpressLink&) = delete;
  CImpressLink& operator=(const CImpressLink&) = delete;

  void SetEventHandler(std::function<void(ImpressEvent)> handler);

  // Attaches to the office listening on the pipe. With `start`, an office is
  // started with that acceptor when none answers, and waited for up to the
  // start limit. True when connected.
  bool Connect(bool start);
  // Connect(false), at most every 400 ms, and less often (up to every
  // 16 s) while attempts run into the call limit: lets a restarted office be
  // found again without waiting on a hung one at every call.
  bool Reconnect();
  bool IsConnected() const;
  // Why the last attempt did not even knock on the pipe ("refused
  // /tmp/OSL_PIPE_1000_pivaro-1000: it belongs to uid 1001"); empty when
  // it did.
  std::string Refusal() const;
  // The pipe the link attaches to now: the started office's, else the
  // presenter's.
  std::string PipeName() const;
  // Loads a presentation file (path or URL) into the office, or brings the
  // already loaded one forward.
  bool Open(const std::string& path);

  // The title of the presentation Pivaro drives: the current Impress
  // document, else the first one loaded. False when there is none.
  bool FindPresentation(std::u16string* title);
  bool StartShow();
  bool EndShow();
  bool IsShowRunning();
  bool Step(ImpressStep step);
  // Moves the running show to slide `index` (0-based), as a step does.
  bool GotoSlide(std::int32_t index);
  // 0-based index of the slide shown and the number of slides of the show.
  bool Position(std::int32_t* index, std::int32_t* count);
  // The text of the current slide's notes (its notes page's text shapes).
  bool ReadNotes(std::u16string* text);
  // The page size in 1/100 mm.
  bool SlideSize(std::int32_t* width, std::int32_t* height);
  // The number of slides of the presentation, shown or not.
  bool SlideCount(std::int32_t* count);
  // Writes slide `index` (0-based) of the presentation as a PNG image of
  // `width` x `height` pixels (each at most kMaxExportSide) into the file at
  // the absolute `path` in a folder that exists, replacing it; on failure
  // no file is left there.
  static constexpr std::int32_t kMaxExportSide = 8192;
  bool ExportSlide(std::int32_t index, const std::string& path, std::int32_t width,
                   std::int32_t height);
  // Where the presentation is stored (a file path, else its URL); the
  // office's name for it ("Untitled 1") when it was never saved.
  bool DocumentPath(std::u16string* path);
  // Whether the presentation has changes that were not saved.
  bool IsModified(bool* modified);
  // The show's own pointer at a fraction of the slide (0..1), shown or
  // hidden; false when the office does not take it.
  bool SetPointer(bool visible, double x, double y);
  // The presenter's pen in the show: the mouse then draws in `rgb`.
  bool SetPen(bool on, std::uint32_t rgb);
  bool EraseInk();
  // The show's window as the office reports it: its X11 window id. False
  // when no show runs, or the office does not draw on X11.
  bool ShowWindow(std::uint64_t* xid);
  // Brings the show's window in front of the office's other windows.
  bool ShowToFront();
  // "7.4.7.2"; empty when unknown.
  std::u16string Version();

  // The office started by Connect(true), or 0 (its launcher's process id;
  // it leads the office's process group).
  pid_t StartedProcess() const;

  struct Uno;

 private:
  // `limit` zero: the call limit.
  bool Run(const std::function<bool(Uno&)>& call,
           std::chrono::milliseconds limit = std::chrono::milliseconds(0));

  std::shared_ptr<Uno> uno_;
};
