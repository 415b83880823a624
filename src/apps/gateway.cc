#include "apps/gateway.h"

#include <utility>

namespace brask {

Gateway::Gateway(std::vector<AppEntry> apps, std::vector<std::string> warnings)
    : apps(std::move(apps)), warnings(std::move(warnings)), agents_enabled([] { return true; }) {}

}  // namespace brask
