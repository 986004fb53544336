// Texts that the full screen and the line mode of the terminal front end
// both print: the controller's state by name (the line mode's word, which
// scripts match, and the screen's title, which a presenter reads) and the
// program's UTF-16 texts as UTF-8.
#pragma once

#include <string>

#include "app/controller.h"
#include "json/json.h"

struct TerminalStateLabel {
  const char* name;   // one word: "WaitingForPhone"
  const char* title;  // as read on screen: "Waiting for a phone"
};

inline TerminalStateLabel LabelOfState(CMainController::State s) {
  switch (s) {
    case CMainController::Connecting:
      return {"Connecting", "Connecting"};
    case CMainController::ConnectFailed:
      return {"ConnectFailed", "Connect failed"};
    case CMainController::NetworkError:
      return {"NetworkError", "Network error"};
    case CMainController::WaitingForPhone:
      return {"WaitingForPhone", "Waiting for a phone"};
    case CMainController::Connected:
      return {"Connected", "Connected"};
  }
  return {"?", "?"};
}

inline std::string Utf8(const std::u16string& text) {
  std::string out;
  ToUtf8(text, out);
  return out;
}
