// An edit to the presentation open in an office, made over a connection of
// its own as another program (or the presenter's own window) would make it:
// the back-end must notice it without being told.
#pragma once

#include <string>

// Adds an empty slide after the last one of the first presentation open in
// the office listening on `pipeName`. True when the office took it.
bool AddSlideInOffice(const std::string& pipeName);
