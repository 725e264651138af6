// The module table: named sets of entry points that the system binds at run
// time, in the way a Windows program loads a DLL and looks up its exports.
//
// A module is registered under a name with its entry points (name and
// address). The libraries that provide modules register them while the
// program starts ("WSOCK32", platform/winsock/Winsock.h); the table itself
// knows none of them. A test may register a module of its own, also under
// a built-in name, which replaces that module until it is registered again.
//
// LoadLibrary finds a module by name, ignoring ASCII case and an optional
// ".dll" suffix, counts the load and returns the module's handle (the same
// handle for every load), 0 when no module has that name. GetProcAddress
// looks an entry up by its exact name in a loaded module and returns its
// address, nullptr when the module has no such entry or the handle is not
// loaded. FreeLibrary undoes one load; after the last one the handle is no
// longer loaded. Replacing a module makes the old handle invalid.
//
// Entry points are untyped addresses; the caller casts them to the typed
// function pointer of the entry (platform/winsock/Winsock.h names them).
//
// Threads: any thread; the table has its own lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using HMODULE = std::uint32_t;  // 0 is "no module"

struct ProcEntry {
  std::string name;
  void* address = nullptr;
};

void RegisterModule(const std::string& name, std::vector<ProcEntry> entries);
// Removes the module; false when no module has that name.
bool UnregisterModule(const std::string& name);

HMODULE LoadLibrary(const std::string& name);
void* GetProcAddress(HMODULE module, const std::string& procName);
bool FreeLibrary(HMODULE module);

// The address of a function as an entry point.
template <class Fn>
void* ProcAddressOf(Fn fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace platform
