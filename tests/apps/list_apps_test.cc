#include "apps/list_apps.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "base/mutex.h"
#include "json/render.h"
#include "support/slots.h"

namespace brask {
namespace {

using testing::failing_starter;
using testing::GatewayPeer;
using testing::hold_catalogue;
using testing::missing_app;
using testing::tool_entry;

TEST(ListApps, ReportsEachSlotWithoutStartingAnything) {
  std::atomic<int> starts{0};
  AppEntry named = missing_app("brask-anything");
  named.name = "Brask Anything";
  Gateway gateway({missing_app("lumeno"), named}, {"`Bad`: not a valid app id", "second"},
                  failing_starter(&starts));
  EXPECT_EQ(render_compact(list_apps(gateway)),
            R"({"apps":[{"app":"lumeno","name":"lumeno","started":false},)"
            R"({"app":"brask-anything","name":"Brask Anything","started":false}],)"
            R"("notes":["`Bad`: not a valid app id","second"]})");

  hold_catalogue(gateway, 1, {tool_entry("a"), tool_entry("b")});
  {
    // Another request in the middle of a call on lumeno.
    MutexLock held(GatewayPeer::slot(gateway, 0).connection_mutex);
    EXPECT_EQ(render_compact(list_apps(gateway)),
              R"({"apps":[{"app":"lumeno","busy":true,"name":"lumeno","started":true},)"
              R"({"app":"brask-anything","name":"Brask Anything","started":false,"tools":2}],)"
              R"("notes":["`Bad`: not a valid app id","second"]})");
  }
  EXPECT_EQ(starts.load(), 0);
}

TEST(ListApps, CarriesOutAStopMarkedWhileTheAppWasBusy) {
  std::atomic<bool> agents{false};
  Gateway gateway({missing_app("lumeno"), missing_app("kinetta")}, {},
                  Gateway::default_app_starter(), [&agents] { return agents.load(); });
  hold_catalogue(gateway, 0, {tool_entry("a")});
  hold_catalogue(gateway, 1, {tool_entry("b")});
  GatewayPeer::slot(gateway, 0).stop_pending = true;
  GatewayPeer::slot(gateway, 1).stop_pending = true;
  agents = true;  // turned back on before the look: the app stays
  EXPECT_EQ(render_compact(list_apps(gateway)),
            R"({"apps":[{"app":"lumeno","name":"lumeno","started":false,"tools":1},)"
            R"({"app":"kinetta","name":"kinetta","started":false,"tools":1}]})");
  GatewayPeer::slot(gateway, 0).stop_pending = true;
  agents = false;
  EXPECT_EQ(render_compact(list_apps(gateway)),
            R"({"apps":[{"app":"lumeno","name":"lumeno","started":false},)"
            R"({"app":"kinetta","name":"kinetta","started":false,"tools":1}]})");
  EXPECT_FALSE(GatewayPeer::slot(gateway, 0).stop_pending);
}

}  // namespace
}  // namespace brask
