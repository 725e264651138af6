// The string-resource reader and the program's store of "STR0" blocks.
//
// A "STR0" block: the four bytes "STR0", a 32-bit entry count C, C entries
// of (id, offset of the text from the block's start, length in UTF-16 code
// units), sorted by id, then the UTF-16LE texts. All integers are 32-bit
// little-endian. The blocks are built from the readable tables in
// resources/ at build time and compiled into the program; the store finds
// them by name (ASCII case ignored). Tests may add blocks of their own.
//
// The program has one store, so a reader's module instance is accepted and
// ignored: looking in the instance's module and then in the main module is
// the same single look-up.
//
// Two readers serve the whole process: the reader-messages reader on
// "ADSRMGR_STRINGS" (created first, freed last) and the error-text reader on
// "VORN_ERROR_STRINGS_ENGLISH". InitStringResources creates them at start-up
// and DoneStringResources frees them; the accessors create them on first use
// as well, so code and tests that never ran the start-up still work.
//
// Threads: a reader serialises its lookups and ChangeResource, so any thread
// may call GetString. DoneStringResources belongs to the program's end, when
// no lookup runs any more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/Exception.h"

// A failure of a string-resource reader; the message is one of the reader's
// own texts (entries 1 to 5 of "ADSRMGR_STRINGS").
class EKxsStringResourceError : public platform::Exception {
 public:
  explicit EKxsStringResourceError(const std::string& message) : platform::Exception(message) {}
};

// A module instance as the reader's callers pass it; see above.
using TAdModuleInstance = std::uintptr_t;
constexpr TAdModuleInstance MainInstance = 0;

// One block compiled into the program.
struct TAdResourceBlock {
  const char* Name;
  std::span<const std::uint8_t> Bytes;
};

// The blocks compiled into the program (defined by the generated source).
std::span<const TAdResourceBlock> EmbeddedStringResources();

// Adds a block of bytes under a name, or replaces an added block of that
// name; a block added under the name of a compiled-in block hides it. The
// store keeps its own copy. RemoveStringResource undoes an addition; a
// reader that has the removed block open fails its next lookup with
// "Cannot lock resource".
void AddStringResource(const std::string& name, std::vector<std::uint8_t> bytes);
void RemoveStringResource(const std::string& name);

class TAdStringResource {
 public:
  // Opens the named resource when a name is given. Raises
  // EKxsStringResourceError when it cannot be opened.
  TAdStringResource(TAdModuleInstance instance, const std::string& resourceName);
  ~TAdStringResource();

  TAdStringResource(const TAdStringResource&) = delete;
  TAdStringResource& operator=(const TAdStringResource&) = delete;

  // Closes the current resource, then opens the named one when a name is
  // given. A failed open leaves the reader closed.
  void ChangeResource(TAdModuleInstance instance, const std::string& resourceName);

  // The text of entry `id` in UTF-8; empty when no entry has that id.
  // Raises EKxsStringResourceError when the resource cannot be locked or the
  // entry's text lies outside the block.
  std::string GetString(std::uint32_t id);

  bool IsOpen() const { return handle_ != 0; }
  const std::string& ResourceName() const { return resourceName_; }

 private:
  void OpenResource(const std::string& resourceName);
  void CloseResource();
  // Sets the lock pointer to the resource's bytes; false when the store no
  // longer has them.
  bool LockResource();
  void UnlockResource();

  std::uint32_t handle_ = 0;  // the loaded resource; 0 while closed
  std::string resourceName_;
  // The resource's bytes, reachable only while a lookup or an open holds the
  // resource locked.
  const std::uint8_t* locked_ = nullptr;
  std::size_t lockedSize_ = 0;
  // Keeps an added block alive while it is locked, even if it is removed
  // from the store meanwhile.
  std::shared_ptr<const std::vector<std::uint8_t>> keepAlive_;
  std::mutex lookup_;
};

// Creates the two process-wide readers (reader messages first, then error
// texts) unless they exist. The program's start-up calls it.
void InitStringResources();
// Frees them: the error-text reader first, then the reader-messages reader.
void DoneStringResources();

// The process-wide readers, created on first use when the start-up has not
// run. Raises EKxsStringResourceError when a reader cannot be created.
TAdStringResource& ErrorStringResource();
TAdStringResource& ReaderStringResource();

// The first `characters` characters of a UTF-8 text (all of it when it is
// shorter); never cuts inside a character.
std::string Utf8Prefix(const std::string& text, std::size_t characters);
