#include "socket/AdWUtil.h"

TWinsockFunctions WinsockFunctions;

namespace {

platform::HMODULE g_library = 0;

// Binds one entry; false when the library lacks it.
template <class Fn>
bool BindEntry(Fn& entry, const char* name) {
  void* address = platform::GetProcAddress(g_library, name);
  if (address == nullptr) return false;
  entry = reinterpret_cast<Fn>(address);
  return true;
}

}  // namespace

bool LoadWinsock() {
  if (g_library == 0) g_library = platform::LoadLibrary(WinsockLibraryName);
  if (g_library == 0) return false;
  // The pass fills a fresh table, so the entries from the missing one on
  // stay empty even when an earlier pass had bound them.
  TWinsockFunctions bound;
  bool complete = true;
#define APD_WINSOCK_BIND(name) complete = complete && BindEntry(bound.name, #name);
  APD_WINSOCK_ENTRIES(APD_WINSOCK_BIND)
#undef APD_WINSOCK_BIND
  WinsockFunctions = bound;
  return complete;
}

void UnloadWinsock() {
  if (g_library != 0) platform::FreeLibrary(g_library);
  g_library = 0;
  WinsockFunctions = TWinsockFunctions{};
}

platform::HMODULE WinsockLibrary() {
  return g_library;
}
