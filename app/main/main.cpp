// Entry point of TKV Setup: the installation window on the desktop.
#include <cstdio>
#include <exception>
#include <string>

#include "app/DistributionServer.h"
#include "app/uGetUpdateFile.h"
#include "dispatch/AdSrMgr.h"
#include "platform/toolkit/fltk/Fltk.h"
#include "socket/AwWnsock.h"

int main() {
  std::string error;
  if (!platform::UseFltkBackend(&error)) {
    std::fprintf(stderr, "tkv-setup: %s\n", error.c_str());
    return 1;
  }
  // The communications layer starts before the window exists: its string
  // readers serve every error text the window may show.
  InitStringResources();
  // The socket layer comes up before the window and goes down after it,
  // once every port of the window is gone.
  WinsockDispatcherStartup();
  int exitCode = 0;
  try {
    TApplication application;
    StartApplication(application, CompiledDistributionServer());
    application.Run();
  } catch (const std::exception& e) {
    // The window could not even be made: nothing is on screen to show it.
    std::fprintf(stderr, "tkv-setup: %s\n", e.what());
    exitCode = 1;
  }
  WinsockDispatcherShutdown();
  DoneStringResources();
  return exitCode;
}
