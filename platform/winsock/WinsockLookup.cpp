// The socket library's conversions and name services: byte order, dotted
// addresses, hosts, services and protocols, and their WSAAsync* forms.
#include "platform/winsock/WinsockPosix.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace platform {
namespace wsock {
namespace {

// A lookup's result before it is laid out for the caller.
struct HostInfo {
  std::string name;
  std::vector<std::string> aliases;
  std::vector<u_long> addresses;  // network order
};
struct ServiceInfo {
  std::string name;
  std::vector<std::string> aliases;
  short port = 0;  // network order
  std::string protocol;
};
struct ProtocolInfo {
  std::string name;
  std::vector<std::string> aliases;
  short number = 0;
};

// A relocatable image of a result record with the lists and texts it
// points to. The record comes first; pointers are resolved when the image is
// copied to where the caller reads it.
class Image {
 public:
  std::size_t Add(const void* data, std::size_t size, std::size_t align) {
    bytes_.resize((bytes_.size() + align - 1) / align * align);
    const std::size_t offset = bytes_.size();
    bytes_.resize(offset + size);
    if (size > 0) std::memcpy(bytes_.data() + offset, data, size);
    return offset;
  }
  std::size_t AddString(const std::string& text) { return Add(text.c_str(), text.size() + 1, 1); }
  // A list of count pointers and its terminating nullptr.
  std::size_t AddList(std::size_t count) {
    const std::vector<char*> nulls(count + 1, nullptr);
    return Add(nulls.data(), nulls.size() * sizeof(char*), alignof(char*));
  }
  // The pointer stored at `slot` will point at `target`.
  void Link(std::size_t slot, std::size_t target) { links_.push_back({slot, target}); }
  std::size_t Size() const { return bytes_.size(); }
  void CopyTo(char* dest) const {
    std::memcpy(dest, bytes_.data(), bytes_.size());
    for (const auto& [slot, target] : links_) {
      char* pointer = dest + target;
      std::memcpy(dest + slot, &pointer, sizeof pointer);
    }
  }

 private:
  std::vector<char> bytes_;
  std::vector<std::pair<std::size_t, std::size_t>> links_;
};

// Adds the texts of a name list and links them into a list.
void AddNames(Image& image, std::size_t listSlot, const std::vector<std::string>& names) {
  const std::size_t list = image.AddList(names.size());
  image.Link(listSlot, list);
  for (std::size_t i = 0; i < names.size(); ++i)
    image.Link(list + i * sizeof(char*), image.AddString(names[i]));
}

Image Layout(const HostInfo& info) {
  Image image;
  hostent record{};
  record.h_addrtype = AF_INET;
  record.h_length = sizeof(u_long);
  const std::size_t at = image.Add(&record, sizeof record, alignof(hostent));
  image.Link(at + offsetof(hostent, h_name), image.AddString(info.name));
  AddNames(image, at + offsetof(hostent, h_aliases), info.aliases);
  const std::size_t list = image.AddList(info.addresses.size());
  image.Link(at + offsetof(hostent, h_addr_list), list);
  for (std::size_t i = 0; i < info.addresses.size(); ++i)
    image.Link(list + i * sizeof(char*), image.Add(&info.addresses[i], sizeof(u_long), 1));
  return image;
}

Image Layout(const ServiceInfo& info) {
  Image image;
  servent record{};
  record.s_port = info.port;
  const std::size_t at = image.Add(&record, sizeof record, alignof(servent));
  image.Link(at + offsetof(servent, s_name), image.AddString(info.name));
  AddNames(image, at + offsetof(servent, s_aliases), info.aliases);
  image.Link(at + offsetof(servent, s_proto), image.AddString(info.protocol));
  return image;
}

Image Layout(const ProtocolInfo& info) {
  Image image;
  protoent record{};
  record.p_proto = info.number;
  const std::size_t at = image.Add(&record, sizeof record, alignof(protoent));
  image.Link(at + offsetof(protoent, p_name), image.AddString(info.name));
  AddNames(image, at + offsetof(protoent, p_aliases), info.aliases);
  return image;
}

std::vector<std::string> Names(char** list) {
  std::vector<std::string> names;
  for (; list != nullptr && *list != nullptr; ++list)
    names.emplace_back(*list);
  return names;
}

// The lookups return 0 or a Winsock error.
int LookupHostByName(const char* name, HostInfo& info) {
  char own[256] = {};
  if (*name == '\0') {
    // An empty name is this host, as gethostname gives it.
    if (::gethostname(own, sizeof own - 1) != 0) return WinsockError(errno);
    name = own;
  }
  addrinfo hints{};
  hints.ai_family = sys::kAfInet;
  hints.ai_socktype = sys::kSockStream;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (const int error = ::getaddrinfo(name, nullptr, &hints, &found)) return WinsockError(error);
  info.name = found->ai_canonname != nullptr ? found->ai_canonname : name;
  if (info.name != name) info.aliases.emplace_back(name);
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const u_long address = reinterpret_cast<const ::sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    if (std::find(info.addresses.begin(), info.addresses.end(), address) == info.addresses.end())
      info.addresses.push_back(address);
  }
  ::freeaddrinfo(found);
  return 0;
}

int LookupHostByAddress(const char* addr, int len, int type, HostInfo& info) {
  if (type != AF_INET) return WSAEAFNOSUPPORT;
  if (len != static_cast<int>(sizeof(u_long))) return WSAEFAULT;
  ::sockaddr_in address{};
  address.sin_family = sys::kAfInet;
  std::memcpy(&address.sin_addr.s_addr, addr, sizeof(u_long));
  char host[NI_MAXHOST];
  if (const int error = ::getnameinfo(reinterpret_cast<const ::sockaddr*>(&address), sizeof address,
                                      host, sizeof host, nullptr, 0, NI_NAMEREQD))
    return WinsockError(error);
  info.name = host;
  info.addresses.push_back(address.sin_addr.s_addr);
  return 0;
}

// The services and protocols tables: a missing entry is WSANO_DATA. The
// system's record points into the buffer, so it is copied out while the
// buffer lives.
void Fill(const ::servent& entry, ServiceInfo& info);
void Fill(const ::protoent& entry, ProtocolInfo& info);

template <class Record, class Info, class Call>
int ReadTable(Call call, Info& info) {
  std::vector<char> buffer(1024);
  for (;;) {
    Record record{};
    Record* result = nullptr;
    const int error = call(&record, buffer.data(), buffer.size(), &result);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 4);
      continue;
    }
    if (error != 0) return WinsockError(error);
    if (result == nullptr) return WSANO_DATA;
    Fill(record, info);
    return 0;
  }
}

void Fill(const ::servent& entry, ServiceInfo& info) {
  info.name = entry.s_name;
  info.aliases = Names(entry.s_aliases);
  info.port = static_cast<short>(entry.s_port);
  info.protocol = entry.s_proto;
}

void Fill(const ::protoent& entry, ProtocolInfo& info) {
  info.name = entry.p_name;
  info.aliases = Names(entry.p_aliases);
  info.number = static_cast<short>(entry.p_proto);
}

int LookupService(const char* name, const char* proto, ServiceInfo& info) {
  return ReadTable<::servent>(
      [&](::servent* e, char* b, std::size_t n, ::servent** r) {
        return ::getservbyname_r(name, proto, e, b, n, r);
      },
      info);
}

int LookupServiceByPort(int port, const char* proto, ServiceInfo& info) {
  return ReadTable<::servent>(
      [&](::servent* e, char* b, std::size_t n, ::servent** r) {
        return ::getservbyport_r(port, proto, e, b, n, r);
      },
      info);
}

int LookupProtocol(const char* name, ProtocolInfo& info) {
  return ReadTable<::protoent>([&](::protoent* e, char* b, std::size_t n,
                                   ::protoent** r) { return ::getprotobyname_r(name, e, b, n, r); },
                               info);
}

int LookupProtocolByNumber(int number, ProtocolInfo& info) {
  return ReadTable<::protoent>(
      [&](::protoent* e, char* b, std::size_t n, ::protoent** r) {
        return ::getprotobynumber_r(number, e, b, n, r);
      },
      info);
}

// The synchronous forms: the result lives in storage of the calling thread
// until its next lookup of the same kind (hosts, services, protocols).
template <class Record>
std::vector<std::max_align_t>& ResultStorage() {
  thread_local std::vector<std::max_align_t> storage;
  return storage;
}

template <class Record, class Info, class Lookup>
Record* Synchronous(Lookup lookup) {
  if (!Enter()) return nullptr;
  std::vector<std::max_align_t>& storage = ResultStorage<Record>();
  Info info;
  if (const int error = lookup(info)) {
    SetLastError(error);
    return nullptr;
  }
  const Image image = Layout(info);
  storage.assign((image.Size() + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t), {});
  char* bytes = reinterpret_cast<char*>(storage.data());
  image.CopyTo(bytes);
  return reinterpret_cast<Record*>(bytes);
}

std::atomic<std::uintptr_t> g_lastRequest{0};

// The WSAAsync* forms run the lookup at once and post its completion:
// wParam the request's handle, lParam the size the result needs and the
// error (WSAENOBUFS when the caller's buffer is too small for it).
template <class Info, class Lookup>
HANDLE Asynchronous(HWND hWnd, u_int wMsg, char* buf, int buflen, Lookup lookup) {
  if (!Enter()) return nullptr;
  if ((buf == nullptr && buflen > 0) || buflen < 0) {
    SetLastError(WSAEFAULT);
    return nullptr;
  }
  if (!IsWindow(hWnd)) {
    SetLastError(WSAEINVAL);
    return nullptr;
  }
  const std::uintptr_t request = ++g_lastRequest;
  Info info;
  int error = lookup(info);
  int needed = 0;
  if (error == 0) {
    const Image image = Layout(info);
    needed = static_cast<int>(image.Size());
    if (needed > buflen)
      error = WSAENOBUFS;
    else
      image.CopyTo(buf);
  }
  PostMessage(hWnd, wMsg, static_cast<WPARAM>(request),
              WSAMAKEASYNCREPLY(std::min(needed, 0xFFFF), error));
  return reinterpret_cast<HANDLE>(request);
}

bool NameGiven(const char* name) {
  if (name != nullptr) return true;
  SetLastError(WSAEFAULT);
  return false;
}

// Dotted text as Winsock reads it: one to four parts separated by ".",
// each decimal, octal (leading 0) or hexadecimal (leading 0x); the last
// part fills the remaining bytes ("10.1" is 10.0.0.1). The text ends at its
// end or at white space. Returns false when it is not such an address.
bool ParseDotted(const char* text, std::uint32_t& address) {
  std::uint64_t parts[4];
  int count = 0;
  const char* p = text;
  for (;;) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    int base = 10;
    if (*p == '0') {
      ++p;
      base = 8;
      if (*p == 'x' || *p == 'X') {
        base = 16;
        ++p;
      }
    }
    std::uint64_t value = 0;
    for (;; ++p) {
      const unsigned char c = static_cast<unsigned char>(*p);
      int digit;
      if (std::isdigit(c))
        digit = c - '0';
      else if (base == 16 && std::isxdigit(c))
        digit = std::tolower(c) - 'a' + 10;
      else
        break;
      if (digit >= base) return false;
      value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
      if (value > 0xFFFFFFFFu) return false;
    }
    parts[count++] = value;
    if (*p != '.') break;
    if (count == 4) return false;
    ++p;
  }
  if (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) return false;
  // Each part but the last is one byte; the last fills the rest.
  const int lastBits = 32 - 8 * (count - 1);
  std::uint64_t result = 0;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) return false;
    result |= parts[i] << (24 - 8 * i);
  }
  if (lastBits < 32 && parts[count - 1] >> lastBits != 0) return false;
  address = static_cast<std::uint32_t>(result | parts[count - 1]);
  return true;
}

template <class T>
T Swap(T value) {
  if constexpr (std::endian::native == std::endian::big)
    return value;
  else if constexpr (sizeof(T) == 2)
    return static_cast<T>(__builtin_bswap16(value));
  else
    return static_cast<T>(__builtin_bswap32(value));
}

}  // namespace
}  // namespace wsock

u_long htonl(u_long hostlong) {
  return wsock::Swap(hostlong);
}
u_short htons(u_short hostshort) {
  return wsock::Swap(hostshort);
}
u_long ntohl(u_long netlong) {
  return wsock::Swap(netlong);
}
u_short ntohs(u_short netshort) {
  return wsock::Swap(netshort);
}

u_long inet_addr(const char* cp) {
  std::uint32_t address = 0;
  if (cp == nullptr || !wsock::ParseDotted(cp, address)) return INADDR_NONE;
  return htonl(address);
}

char* inet_ntoa(in_addr in) {
  thread_local char text[16];
  unsigned char b[4];
  std::memcpy(b, &in.s_addr, sizeof b);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

int gethostname(char* name, int namelen) {
  if (!wsock::Enter()) return SOCKET_ERROR;
  char own[256] = {};
  if (::gethostname(own, sizeof own - 1) != 0) {
    wsock::SetLastError(wsock::WinsockError(errno));
    return SOCKET_ERROR;
  }
  const std::size_t length = std::strlen(own);
  if (name == nullptr || namelen <= 0 || length >= static_cast<std::size_t>(namelen)) {
    wsock::SetLastError(WSAEFAULT);
    return SOCKET_ERROR;
  }
  std::memcpy(name, own, length + 1);
  return 0;
}

hostent* gethostbyname(const char* name) {
  if (!wsock::NameGiven(name)) return nullptr;
  return wsock::Synchronous<hostent, wsock::HostInfo>(
      [&](wsock::HostInfo& info) { return wsock::LookupHostByName(name, info); });
}

hostent* gethostbyaddr(const char* addr, int len, int type) {
  if (!wsock::NameGiven(addr)) return nullptr;
  return wsock::Synchronous<hostent, wsock::HostInfo>(
      [&](wsock::HostInfo& info) { return wsock::LookupHostByAddress(addr, len, type, info); });
}

servent* getservbyname(const char* name, const char* proto) {
  if (!wsock::NameGiven(name)) return nullptr;
  return wsock::Synchronous<servent, wsock::ServiceInfo>(
      [&](wsock::ServiceInfo& info) { return wsock::LookupService(name, proto, info); });
}

servent* getservbyport(int port, const char* proto) {
  return wsock::Synchronous<servent, wsock::ServiceInfo>(
      [&](wsock::ServiceInfo& info) { return wsock::LookupServiceByPort(port, proto, info); });
}

protoent* getprotobyname(const char* name) {
  if (!wsock::NameGiven(name)) return nullptr;
  return wsock::Synchronous<protoent, wsock::ProtocolInfo>(
      [&](wsock::ProtocolInfo& info) { return wsock::LookupProtocol(name, info); });
}

protoent* getprotobynumber(int number) {
  return wsock::Synchronous<protoent, wsock::ProtocolInfo>(
      [&](wsock::ProtocolInfo& info) { return wsock::LookupProtocolByNumber(number, info); });
}

HANDLE WSAAsyncGetHostByName(HWND hWnd, u_int wMsg, const char* name, char* buf, int buflen) {
  if (!wsock::NameGiven(name)) return nullptr;
  return wsock::Asynchronous<wsock::HostInfo>(hWnd, wMsg, buf, buflen, [&](wsock::HostInfo& info) {
    return wsock::LookupHostByName(name, info);
  });
}

HANDLE WSAAsyncGetHostByAddr(HWND hWnd, u_int wMsg, const char* addr, int len, int type, char* buf,
                             int buflen) {
  if (!wsock::NameGiven(addr)) return nullptr;
  return wsock::Asynchronous<wsock::HostInfo>(hWnd, wMsg, buf, buflen, [&](wsock::HostInfo& info) {
    return wsock::LookupHostByAddress(addr, len, type, info);
  });
}

HANDLE WSAAsyncGetServByName(HWND hWnd, u_int wMsg, const char* name, const char* proto, char* buf,
                             int buflen) {
  if (!wsock::NameGiven(name)) return nullptr;
  return wsock::Asynchronous<wsock::ServiceInfo>(
      hWnd, wMsg, buf, buflen,
      [&](wsock::ServiceInfo& info) { return wsock::LookupService(name, proto, info); });
}

HANDLE WSAAsyncGetServByPort(HWND hWnd, u_int wMsg, int port, const char* proto, char* buf,
                             int buflen) {
  return wsock::Asynchronous<wsock::ServiceInfo>(
      hWnd, wMsg, buf, buflen,
      [&](wsock::ServiceInfo& info) { return wsock::LookupServiceByPort(port, proto, info); });
}

HANDLE WSAAsyncGetProtoByName(HWND hWnd, u_int wMsg, const char* name, char* buf, int buflen) {
  if (!wsock::NameGiven(name)) return nullptr;
  return wsock::Asynchronous<wsock::ProtocolInfo>(
      hWnd, wMsg, buf, buflen,
      [&](wsock::ProtocolInfo& info) { return wsock::LookupProtocol(name, info); });
}

HANDLE WSAAsyncGetProtoByNumber(HWND hWnd, u_int wMsg, int number, char* buf, int buflen) {
  return wsock::Asynchronous<wsock::ProtocolInfo>(
      hWnd, wMsg, buf, buflen,
      [&](wsock::ProtocolInfo& info) { return wsock::LookupProtocolByNumber(number, info); });
}

int WSACancelAsyncRequest(HANDLE hAsyncTaskHandle) {
  if (!wsock::Enter()) return SOCKET_ERROR;
  const auto request = reinterpret_cast<std::uintptr_t>(hAsyncTaskHandle);
  // Every request completes inside the call that made it.
  wsock::SetLastError(request != 0 && request <= wsock::g_lastRequest.load() ? WSAEALREADY
                                                                             : WSAEINVAL);
  return SOCKET_ERROR;
}

}  // namespace platform
