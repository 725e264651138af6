#include "dispatch/AdSrMgr.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

namespace {

constexpr std::size_t kMaxResourceName = 255;
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kEntrySize = 12;
constexpr std::array<std::uint8_t, 4> kMagic{'S', 'T', 'R', '0'};

// Numbers of the reader's own messages in "ADSRMGR_STRINGS".
constexpr int msgCannotLock = 2;
constexpr int msgNotFound = 3;
constexpr int msgCannotOpen = 4;
constexpr int msgInvalid = 5;

// The same messages for the one case the reader-messages reader cannot
// serve: while it does not exist yet, or when it failed to open itself.
constexpr std::array<std::string_view, 6> kFallbackMessages{
    "",
    "String not found: %d",
    "Cannot lock resource",
    "String resource not found: %s",
    "Unable to open string resource: %s",
    "Invalid KXString resource",
};

std::uint32_t ReadUInt32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-16LE code units to UTF-8; a surrogate without its partner becomes
// U+FFFD, so a damaged text still converts to valid UTF-8.
std::string Utf16LeToUtf8(const std::uint8_t* p, std::size_t units) {
  std::string out;
  out.reserve(units);
  for (std::size_t i = 0; i < units; ++i) {
    char32_t c = static_cast<char32_t>(p[2 * i] | p[2 * i + 1] << 8);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
      const char32_t low = static_cast<char32_t>(p[2 * i + 2] | p[2 * i + 3] << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
    AppendUtf8(c, out);
  }
  return out;
}

// ---------------------------------------------------------------------------
// The store of blocks: the compiled-in ones and those added at run time.
// Every block has a handle; replacing or removing an added block retires its
// handle, so a reader holding it can tell that its bytes are gone.

struct TStoredBlock {
  std::uint32_t Handle;
  std::string Name;
  std::shared_ptr<const std::vector<std::uint8_t>> Bytes;
};

struct TLockedBytes {
  std::span<const std::uint8_t> Bytes;
  std::shared_ptr<const std::vector<std::uint8_t>> KeepAlive;
};

class TResourceStore {
 public:
  static TResourceStore& Instance() {
    static TResourceStore store;
    return store;
  }

  void Add(const std::string& name, std::vector<std::uint8_t> bytes) {
    std::lock_guard guard(mutex_);
    Drop(name);
    added_.push_back(
        {nextHandle_++, name, std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))});
  }

  void Remove(const std::string& name) {
    std::lock_guard guard(mutex_);
    Drop(name);
  }

  // The handle of the named block, 0 when there is none.
  std::uint32_t Find(const std::string& name) {
    std::lock_guard guard(mutex_);
    for (const TStoredBlock& block : added_) {
      if (SameNameIgnoringCase(block.Name, name)) return block.Handle;
    }
    const auto embedded = EmbeddedStringResources();
    for (std::size_t i = 0; i < embedded.size(); ++i) {
      if (SameNameIgnoringCase(embedded[i].Name, name)) return static_cast<std::uint32_t>(i + 1);
    }
    return 0;
  }

  // The bytes of a handle; false when the handle is no longer in the store.
  bool Lock(std::uint32_t handle, TLockedBytes& locked) {
    std::lock_guard guard(mutex_);
    const auto embedded = EmbeddedStringResources();
    if (handle >= 1 && handle <= embedded.size()) {
      locked = {embedded[handle - 1].Bytes, nullptr};
      return locked.Bytes.data() != nullptr;
    }
    for (const TStoredBlock& block : added_) {
      if (block.Handle == handle) {
        locked = {std::span<const std::uint8_t>(*block.Bytes), block.Bytes};
        return true;
      }
    }
    return false;
  }

 private:
  TResourceStore()
      : nextHandle_(static_cast<std::uint32_t>(EmbeddedStringResources().size()) + 1) {}

  void Drop(const std::string& name) {
    std::erase_if(
        added_, [&](const TStoredBlock& block) { return SameNameIgnoringCase(block.Name, name); });
  }

  std::mutex mutex_;
  std::vector<TStoredBlock> added_;
  std::uint32_t nextHandle_;
};

// ---------------------------------------------------------------------------
// The two process-wide readers.

struct TGlobalReaders {
  std::recursive_mutex Mutex;
  std::unique_ptr<TAdStringResource> Messages;  // "ADSRMGR_STRINGS"
  std::unique_ptr<TAdStringResource> Errors;    // "VORN_ERROR_STRINGS_ENGLISH"

  ~TGlobalReaders() {
    Errors.reset();
    Messages.reset();
  }
};

TGlobalReaders& Globals() {
  static TGlobalReaders readers;
  return readers;
}

// One of the reader's own messages with "%s" replaced by `name`, read
// through the reader-messages reader when it is there and is not the reader
// that is failing.
std::string ReaderMessage(int id, const TAdStringResource* failing, const std::string& name) {
  // The global lock is held only to fetch the reader, never across its
  // lookup, so a failing lookup of one reader cannot wait on another's.
  TAdStringResource* messages = nullptr;
  {
    TGlobalReaders& globals = Globals();
    std::lock_guard guard(globals.Mutex);
    messages = globals.Messages.get();
  }
  std::string text;
  if (messages != nullptr && messages != failing && messages->IsOpen()) {
    try {
      text = messages->GetString(static_cast<std::uint32_t>(id));
    } catch (const EKxsStringResourceError&) {
      text.clear();
    }
  }
  if (text.empty()) text = kFallbackMessages[static_cast<std::size_t>(id)];
  if (const auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, name);
  return text;
}

}  // namespace

std::string Utf8Prefix(const std::string& text, std::size_t characters) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (count == characters) return text.substr(0, i);
    ++count;
  }
  return text;
}

void AddStringResource(const std::string& name, std::vector<std::uint8_t> bytes) {
  TResourceStore::Instance().Add(name, std::move(bytes));
}

void RemoveStringResource(const std::string& name) {
  TResourceStore::Instance().Remove(name);
}

// ---------------------------------------------------------------------------
// TAdStringResource

TAdStringResource::TAdStringResource(TAdModuleInstance /*instance*/,
                                     const std::string& resourceName) {
  if (!resourceName.empty()) OpenResource(resourceName);
}

TAdStringResource::~TAdStringResource() {
  CloseResource();
}

void TAdStringResource::ChangeResource(TAdModuleInstance /*instance*/,
                                       const std::string& resourceName) {
  std::lock_guard guard(lookup_);
  CloseResource();
  if (!resourceName.empty()) OpenResource(resourceName);
}

bool TAdStringResource::LockResource() {
  TLockedBytes locked;
  if (handle_ == 0 || !TResourceStore::Instance().Lock(handle_, locked)) return false;
  locked_ = locked.Bytes.data();
  lockedSize_ = locked.Bytes.size();
  keepAlive_ = std::move(locked.KeepAlive);
  return true;
}

void TAdStringResource::UnlockResource() {
  locked_ = nullptr;
  lockedSize_ = 0;
  keepAlive_.reset();
}

void TAdStringResource::OpenResource(const std::string& resourceName) {
  resourceName_ = Utf8Prefix(resourceName, kMaxResourceName);
  const std::uint32_t handle = TResourceStore::Instance().Find(resourceName_);
  if (handle == 0) {
    throw EKxsStringResourceError(ReaderMessage(msgNotFound, this, resourceName_));
  }
  handle_ = handle;
  // Loading is finding the bytes in the store; a block removed between the
  // two steps cannot be loaded.
  if (!LockResource()) {
    handle_ = 0;
    throw EKxsStringResourceError(ReaderMessage(msgCannotOpen, this, resourceName_));
  }
  // Beyond the magic, the header and the whole entry table must lie inside
  // the block, so that no lookup can read past its end.
  const bool valid = lockedSize_ >= kHeaderSize &&
                     std::equal(kMagic.begin(), kMagic.end(), locked_) &&
                     (lockedSize_ - kHeaderSize) / kEntrySize >= ReadUInt32(locked_ + 4);
  UnlockResource();
  if (!valid) {
    handle_ = 0;
    throw EKxsStringResourceError(ReaderMessage(msgInvalid, this, resourceName_));
  }
}

void TAdStringResource::CloseResource() {
  UnlockResource();
  handle_ = 0;
}

std::string TAdStringResource::GetString(std::uint32_t id) {
  std::lock_guard guard(lookup_);
  if (!LockResource()) {
    throw EKxsStringResourceError(ReaderMessage(msgCannotLock, this, resourceName_));
  }
  struct TUnlock {
    TAdStringResource* reader;
    ~TUnlock() { reader->UnlockResource(); }
  } unlock{this};

  const std::uint32_t count = ReadUInt32(locked_ + 4);
  std::int64_t lo = 0;
  std::int64_t hi = static_cast<std::int64_t>(count) - 1;
  while (hi >= lo) {
    const auto mid = static_cast<std::uint32_t>((static_cast<std::uint64_t>(lo) + hi) / 2);
    const std::uint8_t* entry = locked_ + kHeaderSize + kEntrySize * mid;
    const std::uint32_t entryId = ReadUInt32(entry);
    if (entryId == id) {
      const std::uint64_t offset = ReadUInt32(entry + 4);
      const std::uint64_t units = ReadUInt32(entry + 8);
      if (offset > lockedSize_ || units * 2 > lockedSize_ - offset) {
        throw EKxsStringResourceError(ReaderMessage(msgInvalid, this, resourceName_));
      }
      return Utf16LeToUtf8(locked_ + offset, static_cast<std::size_t>(units));
    }
    if (entryId < id) {
      lo = static_cast<std::int64_t>(mid) + 1;
    } else {
      hi = static_cast<std::int64_t>(mid) - 1;
    }
  }
  return {};
}

// ---------------------------------------------------------------------------
// The process-wide readers

void InitStringResources() {
  TGlobalReaders& globals = Globals();
  std::lock_guard guard(globals.Mutex);
  if (!globals.Messages) {
    globals.Messages = std::make_unique<TAdStringResource>(MainInstance, "ADSRMGR_STRINGS");
  }
  if (!globals.Errors) {
    globals.Errors =
        std::make_unique<TAdStringResource>(MainInstance, "VORN_ERROR_STRINGS_ENGLISH");
  }
}

void DoneStringResources() {
  TGlobalReaders& globals = Globals();
  std::lock_guard guard(globals.Mutex);
  globals.Errors.reset();
  globals.Messages.reset();
}

TAdStringResource& ErrorStringResource() {
  TGlobalReaders& globals = Globals();
  std::lock_guard guard(globals.Mutex);
  if (!globals.Errors) InitStringResources();
  return *globals.Errors;
}

TAdStringResource& ReaderStringResource() {
  TGlobalReaders& globals = Globals();
  std::lock_guard guard(globals.Mutex);
  if (!globals.Messages) InitStringResources();
  return *globals.Messages;
}
