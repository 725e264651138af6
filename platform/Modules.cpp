#include "platform/Modules.h"

#include <algorithm>
#include <mutex>

namespace platform {
namespace {

struct Module {
  std::string key;  // the name as it is compared
  std::vector<ProcEntry> entries;
  HMODULE handle = 0;
  int loads = 0;
};

struct ModuleTable {
  std::mutex lock;
  std::vector<Module> modules;
  HMODULE lastHandle = 0;
};

// "WSOCK32", "wsock32.dll" and "Wsock32.DLL" name the same module.
std::string ModuleKey(const std::string& name) {
  std::string key = name;
  std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  const std::string suffix = ".dll";
  if (key.size() > suffix.size() &&
      key.compare(key.size() - suffix.size(), suffix.size(), suffix) == 0)
    key.erase(key.size() - suffix.size());
  return key;
}

ModuleTable& Table() {
  static ModuleTable table;
  return table;
}

Module* FindByHandle(ModuleTable& table, HMODULE handle) {
  for (Module& m : table.modules)
    if (m.handle == handle) return &m;
  return nullptr;
}

void Register(const std::string& name, std::vector<ProcEntry> entries) {
  ModuleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  std::string key = ModuleKey(name);
  std::erase_if(table.modules, [&](const Module& m) { return m.key == key; });
  table.modules.push_back(Module{std::move(key), std::move(entries), ++table.lastHandle, 0});
}

}  // namespace

void RegisterModule(const std::string& name, std::vector<ProcEntry> entries) {
  Register(name, std::move(entries));
}

bool UnregisterModule(const std::string& name) {
  ModuleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  return std::erase_if(table.modules,
                       [key = ModuleKey(name)](const Module& m) { return m.key == key; }) > 0;
}

HMODULE LoadLibrary(const std::string& name) {
  ModuleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  const std::string key = ModuleKey(name);
  for (Module& m : table.modules) {
    if (m.key == key) {
      ++m.loads;
      return m.handle;
    }
  }
  return 0;
}

void* GetProcAddress(HMODULE module, const std::string& procName) {
  ModuleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  const Module* m = FindByHandle(table, module);
  if (m == nullptr || m->loads == 0) return nullptr;
  for (const ProcEntry& e : m->entries)
    if (e.name == procName) return e.address;
  return nullptr;
}

bool FreeLibrary(HMODULE module) {
  ModuleTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  Module* m = FindByHandle(table, module);
  if (m == nullptr || m->loads == 0) return false;
  --m->loads;
  return true;
}

}  // namespace platform
