// gateway.h: `Gateway`, the state every request thread shares: the registry's apps
// and warnings and the replaceable permission check. Built once on the main thread
// before serving; outlives every request thread. Request threads only read it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "apps/child/app_entry.h"

namespace brask {

struct Gateway {
  // `agents_enabled` starts as a check that always answers true; start-up installs
  // the real one.
  Gateway(std::vector<AppEntry> apps, std::vector<std::string> warnings);

  std::vector<AppEntry> apps;         // registry order
  std::vector<std::string> warnings;  // registry warnings, in order
  // Whether AI agents may use the apps now; called from request threads.
  std::function<bool()> agents_enabled;
};

}  // namespace brask
