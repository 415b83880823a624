// app_entry.h: one validated app of the registry, as the child layer needs it to
// start the app's server. Built by the apps-file reader; never changed afterwards.
#pragma once

#include <string>
#include <vector>

namespace brask {

struct AppEntry {
  std::string id;                 // 1 to 40 bytes of a-z, 0-9 and '-'
  std::string name;               // display name, never empty
  std::string command;            // begins with '/'
  std::vector<std::string> args;  // 0 to 32 arguments, in order
};

}  // namespace brask
