// A connection of the Winsock device layer: the receive and send rings and
// the telnet coding between them and the socket.
#include <algorithm>
#include <cstring>

#include "socket/AwWnsock.h"

using platform::SOCKET;

// Names the connection whose send or receive runs, for the report of a
// failure on its missing peer socket.
class TWsIoScope {
 public:
  TWsIoScope(TWsConnection*& slot, TWsConnection* c) : slot_(slot), previous_(slot) { slot_ = c; }
  ~TWsIoScope() { slot_ = previous_; }
  TWsIoScope(const TWsIoScope&) = delete;
  TWsIoScope& operator=(const TWsIoScope&) = delete;

 private:
  TWsConnection*& slot_;
  TWsConnection* const previous_;
};

TWsConnection::TWsConnection(TApdDeviceSocket* owner, SOCKET mainSocket, std::uint32_t inSize,
                             std::uint32_t outSize)
    : TComponent(owner),
      MainSocket(mainSocket),
      RxRing(inSize),
      TxRing(static_cast<std::size_t>(outSize) + WsSendRingExtra) {}

TApdDeviceSocket& TWsConnection::Sock() const {
  return *static_cast<TApdDeviceSocket*>(Owner());
}

std::uint32_t TWsConnection::RxCount() const {
  const auto size = static_cast<std::uint32_t>(RxRing.size());
  if (RxFull) return size;
  return RxTail >= RxHead ? RxTail - RxHead : RxTail + size - RxHead;
}

std::uint32_t TWsConnection::TxCount() const {
  const auto size = static_cast<std::uint32_t>(TxRing.size());
  if (TxFull) return size;
  return TxTail >= TxHead ? TxTail - TxHead : TxTail + size - TxHead;
}

std::uint8_t TWsConnection::RxAt(std::uint32_t offset) const {
  return RxRing[(RxHead + offset) % RxRing.size()];
}

void TWsConnection::SetConnected(std::uint8_t State) {
  if (State == Connected) return;
  if (Connected == 1 && Dispatcher) Dispatcher->ModemBits &= ~msDCD;
  Connected = State;
  if (State == 1 && Dispatcher) Dispatcher->ModemBits |= msDCD;
}

void TWsConnection::FlushSendRing() {
  TxHead = TxTail = 0;
  TxFull = false;
}

void TWsConnection::FlushReceiveRing() {
  RxHead = RxScan = RxTail = 0;
  RxFull = false;
  InSubnegotiation = false;
}

// ---------------------------------------------------------------------------
// Receiving

void TWsConnection::FillReceiveRing() {
  const auto size = static_cast<std::uint32_t>(RxRing.size());
  if (RxFull || size == 0) return;
  TApdDeviceSocket& sock = Sock();
  const TWsIoScope io(sock.ioConnection_, this);
  auto receive = [&](std::uint32_t at, std::uint32_t length) -> std::uint32_t {
    const int got = sock.ReadSocket(PeerSocket, RxRing.data() + at, static_cast<int>(length), 0);
    return got > 0 ? std::min(static_cast<std::uint32_t>(got), length) : 0;
  };
  const std::uint32_t run = RxHead > RxTail ? RxHead - RxTail : size - RxTail;
  std::uint32_t arrived = receive(RxTail, run);
  RxTail = (RxTail + arrived) % size;
  if (arrived == run && RxTail == 0 && RxHead > 0) {
    const std::uint32_t more = receive(0, RxHead);
    RxTail += more;
    arrived += more;
  }
  if (arrived > 0 && RxTail == RxHead) RxFull = true;
  // No read notice follows a receive that emptied the socket, so bytes
  // taken outside a pass would wait for the next timer pass, or be
  // overtaken by the close notice.
  if (arrived > 0 && Dispatcher) Dispatcher->PostWake();
}

std::uint32_t TWsConnection::InQueueCount() {
  if (RxFull) return static_cast<std::uint32_t>(RxRing.size());
  if (Connected) ReadData(nullptr, 0);
  return RxCount();
}

std::int32_t TWsConnection::ReadData(std::uint8_t* Dest, std::int32_t Count) {
  if (Connected) FillReceiveRing();
  if (Count <= 0 || Closed) return 0;

  const std::uint32_t available = RxCount();
  std::uint32_t pos = 0;
  std::int32_t placed = 0;
  auto deliver = [&](std::uint8_t c) { Dest[placed++] = c; };
  while (placed < Count && pos < available) {
    const std::uint8_t c = RxAt(pos);
    if (InSubnegotiation) {
      // Taken as it arrives, so that one that never ends cannot fill the
      // ring; past the bound it is given up and what follows is data.
      if (c == telnet::IAC) {
        if (pos + 1 >= available) break;
        const bool end = RxAt(pos + 1) == telnet::SE;
        pos += 2;
        if (end) {
          EndSubnegotiation();
          continue;
        }
      } else {
        ++pos;
      }
      if (++SubnegotiationLength >= WsSubnegotiationLimit) {
        InSubnegotiation = false;
        Log(dstWsockCommand, telnet::SB);
      }
      continue;
    }
    if (!Telnet || (c != telnet::IAC && (BinaryMode || c != 13))) {
      deliver(c);
      ++pos;
      continue;
    }
    if (c == 13) {
      // CR NUL is a bare CR; a CR that ends what has arrived goes out at once.
      deliver(c);
      ++pos;
      if (pos < available && RxAt(pos) == 0) ++pos;
      continue;
    }
    // An IAC sequence is taken only once it has arrived whole.
    if (pos + 1 >= available) break;
    const std::uint8_t command = RxAt(pos + 1);
    if (command == telnet::IAC) {
      deliver(telnet::IAC);
      pos += 2;
    } else if (command >= telnet::WILL && command <= telnet::DONT) {
      if (pos + 2 >= available) break;
      const std::uint8_t option = RxAt(pos + 2);
      pos += 3;
      Negotiate(command, option);
    } else if (command == telnet::SB) {
      // Its option first; the rest, up to IAC SE (an escaped IAC IAC inside
      // is part of it), is taken above as it comes.
      if (pos + 2 >= available) break;
      SubnegotiationOption = RxAt(pos + 2);
      SubnegotiationLength = 0;
      InSubnegotiation = true;
      pos += 3;
    } else {
      pos += 2;
      Log(dstWsockCommand, command);
    }
  }
  if (pos > 0) {
    RxHead = (RxHead + pos) % static_cast<std::uint32_t>(RxRing.size());
    RxFull = false;
  }
  RxScan = RxHead;
  return placed;
}

void TWsConnection::EndSubnegotiation() {
  InSubnegotiation = false;
  if (SubnegotiationOption != telnet::OptTerminalType) return;
  const std::string& term = Sock().TermType;
  std::vector<std::uint8_t> reply = {telnet::IAC, telnet::SB, telnet::OptTerminalType,
                                     telnet::TermTypeIs};
  reply.insert(reply.end(), term.begin(), term.end());
  reply.push_back(telnet::IAC);
  reply.push_back(telnet::SE);
  SendNow(reply.data(), static_cast<int>(reply.size()));
  Log(dstWsockTermType, 0, term.data(), static_cast<std::uint32_t>(term.size()));
}

void TWsConnection::Negotiate(std::uint8_t command, std::uint8_t option) {
  using namespace telnet;
  Log(static_cast<std::uint8_t>(dstWsockRecvWill + (command - WILL)), option);
  std::uint8_t reply = 0;
  switch (command) {
    case WILL:
      if (option == OptBinary) BinaryMode = true;
      reply =
          (option == OptBinary || option == OptEcho || option == OptSuppressGoAhead) ? DO : DONT;
      break;
    case WONT:
      if (option == OptBinary) BinaryMode = false;
      reply = DONT;
      break;
    case DO:
      if (option == OptBinary) BinaryMode = true;
      reply = (option == OptBinary || option == OptTerminalType) ? WILL : WONT;
      break;
    default:  // DONT
      if (option == OptBinary) BinaryMode = false;
      reply = WONT;
      break;
  }
  const std::uint8_t bytes[3] = {IAC, reply, option};
  SendNow(bytes, 3);
  Log(static_cast<std::uint8_t>(dstWsockSentWill + (reply - WILL)), option);
}

void TWsConnection::SendNow(const std::uint8_t* bytes, int length) {
  TApdDeviceSocket& sock = Sock();
  const TWsIoScope io(sock.ioConnection_, this);
  sock.WriteSocket(PeerSocket, bytes, length, 0);
}

void TWsConnection::Log(std::uint8_t subType, std::uint32_t data, const void* payload,
                        std::uint32_t length) {
  if (Dispatcher) Dispatcher->LogEvent(dtTelnet, subType, data, payload, length);
}

// ---------------------------------------------------------------------------
// Sending

void TWsConnection::QueueTx(std::uint8_t c) {
  TxRing[TxTail] = c;
  TxTail = (TxTail + 1) % static_cast<std::uint32_t>(TxRing.size());
}

std::int32_t TWsConnection::WriteData(const std::uint8_t* Src, std::int32_t Count) {
  SentCount += Count;
  std::int32_t taken = 0;
  const auto size = static_cast<std::uint32_t>(TxRing.size());
  if (Count > 0 && !TxFull && size > 0) {
    const std::uint8_t* end = Src + Count;
    const bool plain = !Telnet || (std::find(Src, end, telnet::IAC) == end &&
                                   (BinaryMode || std::find(Src, end, 13) == end));
    std::uint32_t room = size - TxCount();
    if (plain) {
      const auto n = std::min<std::uint32_t>(room, static_cast<std::uint32_t>(Count));
      const std::uint32_t first = std::min(n, size - TxTail);
      std::memcpy(TxRing.data() + TxTail, Src, first);
      std::memcpy(TxRing.data(), Src + first, n - first);
      TxTail = (TxTail + n) % size;
      taken = static_cast<std::int32_t>(n);
    } else {
      for (; taken < Count; ++taken) {
        const std::uint8_t c = Src[taken];
        const bool bareCr = !BinaryMode && c == 13 && !(taken + 1 < Count && Src[taken + 1] == 10);
        const std::uint32_t need = (c == telnet::IAC || bareCr) ? 2 : 1;
        if (need > room) break;
        QueueTx(c);
        if (c == telnet::IAC) QueueTx(telnet::IAC);
        if (bareCr) QueueTx(0);
        room -= need;
      }
    }
    if (taken > 0 && TxTail == TxHead) TxFull = true;
  }
  SendTxRing();
  return taken;
}

void TWsConnection::SendTxRing() {
  if (TxCount() == 0) return;
  const auto size = static_cast<std::uint32_t>(TxRing.size());
  TApdDeviceSocket& sock = Sock();
  const TWsIoScope io(sock.ioConnection_, this);
  auto send = [&](std::uint32_t at, std::uint32_t length) -> std::uint32_t {
    const int sent = sock.WriteSocket(PeerSocket, TxRing.data() + at, static_cast<int>(length), 0);
    return sent > 0 ? std::min(static_cast<std::uint32_t>(sent), length) : 0;
  };
  std::uint32_t sent;
  if (TxHead < TxTail) {
    sent = send(TxHead, TxTail - TxHead);
  } else {
    const std::uint32_t run = size - TxHead;
    sent = send(TxHead, run);
    if (sent == run && TxTail > 0) sent += send(0, TxTail);
  }
  if (sent > 0) {
    TxHead = (TxHead + sent) % size;
    TxFull = false;
  }
}

std::uint32_t TWsConnection::OutQueueCount() {
  if (!Connected) return static_cast<std::uint32_t>(SentCount);
  if (TxCount() > 0) {
    WriteData(nullptr, 0);
    return static_cast<std::uint32_t>(SentCount);
  }
  SentCount = 0;
  return 0;
}
