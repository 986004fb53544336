// What a test or benchmark needs to drive a real LibreOffice Impress: a
// virtual display (an Xvfb of its own unless DISPLAY is set), a private
// office profile and pipe, and a small presentation with notes written as
// a flat ODF file. Everything started here is ended by the destructor.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ImpressDeckSlide {
  std::string title;
  std::string notes;
};

class CImpressLink;

class ImpressSession {
 public:
  ImpressSession();
  ~ImpressSession();

  ImpressSession(const ImpressSession&) = delete;
  ImpressSession& operator=(const ImpressSession&) = delete;

  // Empty when the session can run; else why it cannot (for GTEST_SKIP).
  const std::string& Unavailable() const { return unavailable_; }

  // Ends our virtual display and starts one on another number (for an
  // office that could not open it); true when DISPLAY names one again.
  bool ReplaceDisplay();

  // The pipe and profile URL to give CImpressLink.
  const std::string& PipeName() const { return pipeName_; }
  const std::string& ProfileUrl() const { return profileUrl_; }
  // Writes a presentation into the session's folder; answers its path.
  std::string WriteDeck(const std::string& name, const std::vector<ImpressDeckSlide>& slides);
  // Converts a deck with a headless office of its own (`format` "pptx",
  // say) into the session's folder; the new file's path, or empty.
  std::string ConvertDeck(const std::string& path, const std::string& format);

  // Starts an office listening on `pipeName` as a presenter would (own
  // process group, private umask, the session's profile), remembered to end
  // in the destructor; its launcher's pid, or 0.
  // `document`, when given, is opened in it.
  pid_t StartOffice(const std::string& pipeName, const std::string& document = "");

  // Ends an office process group (SIGKILL) and waits for its leader, at
  // most `seconds`.
  static void KillGroup(pid_t leader, int seconds = 10);
  // Ends the office a link started, and removes the pipe socket that a
  // killed office leaves behind.
  static void EndOffice(CImpressLink& link);
  // Remembers an office to end in the destructor.
  void Adopt(pid_t leader) { offices_.push_back(leader); }

 private:
  bool StartDisplay();
  bool StartXvfb(const std::string& number);
  bool OwnsDisplay(const std::string& number);

  std::string unavailable_;
  std::string folder_;
  std::string pipeName_;
  std::string profileUrl_;
  pid_t xvfb_ = 0;
  int displaysTried_ = 0;
  std::vector<pid_t> offices_;
};
