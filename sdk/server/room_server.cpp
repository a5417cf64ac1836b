// lumora-room-server: a local room server that separate processes join.
//
// Design. One thread, one poll loop, non-blocking sockets. Each connection
// is one member of at most one room (a cloud's stay in a room). The server
// keeps who is in which room with which channels, introduces members to each
// other, and forwards media and messages to the other members of the room
// unchanged. Media goes only to members that subscribed to it or have not
// been told of the sender yet (wire.h): a member that subscribes on hearing
// of a newcomer still gets the newcomer's first frames, as in the in-process
// room. The receiver's process applies its own subscriptions again, exactly.
//
// Faults. Every message is parsed completely before it is acted on; a
// malformed, truncated or oversized one closes that connection with one log
// line. A connection that sends nothing (not even the heartbeat) for the
// silence limit is dropped, as is one that closes; the others hear
// OnRemoteUserExitRoom with reason 2 (dropped). Each connection's outgoing
// queue is bounded: past the soft limit media and unreliable messages for it
// are dropped and counted, past the hard limit the connection is closed as
// too slow, so a member that stops reading never holds the others back.
//
// Security. No encryption and no authentication: the Unix socket is private
// to the user (folder 0700, socket 0600) and TCP listens on 127.0.0.1 unless
// told otherwise explicitly.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "net/socket_address.h"
#include "net/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace lumora_net;

// Error codes the SDK reports for a refused entry (lumora_vela_defines.h).
constexpr uint32_t kErrFailed = static_cast<uint32_t>(-1);
constexpr uint32_t kErrEnterRoomFailed = static_cast<uint32_t>(-3301);
constexpr uint32_t kStreamAudio = 1;  // STREAM_TYPE_AUDIO

struct Options {
  SocketAddress address;
  bool allow_any_address = false;
  int silence_limit_ms = 5000;
  int heartbeat_ms = 1000;
  size_t queue_soft_limit = 4u << 20;
  size_t queue_hard_limit = 64u << 20;
};

volatile sig_atomic_t g_stop = 0;
void on_stop_signal(int) { g_stop = 1; }

void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_line(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(stdout, "lumora-room: %s\n", line);
  std::fflush(stdout);
}

struct RoomKey {
  uint32_t app = 0;
  uint32_t room = 0;
  std::string str_room;
  bool operator<(const RoomKey& o) const { return std::tie(app, room, str_room) < std::tie(o.app, o.room, o.str_room); }
  std::string text() const {
    return std::to_string(app) + "/" + (room != 0 ? std::to_string(room) : "'" + str_room + "'");
  }
};

struct Connection {
  int fd = -1;
  uint64_t id = 0;
  std::string in;                // bytes read, not yet a whole message
  std::deque<std::shared_ptr<const std::string>> out;  // framed messages to write, shared by receivers
  size_t out_offset = 0;         // written bytes of out.front()
  size_t out_bytes = 0;
  Clock::time_point last_heard;
  bool joined = false;
  RoomKey room;
  MemberInfo member;
  std::set<std::pair<std::string, uint32_t>> subscriptions;  // (user, stream) it takes media of
  std::set<std::string> announced;  // members it has been told of (since their entry)
  uint64_t dropped = 0;          // messages for this connection dropped
  bool closing = false;
  std::string close_why;
};

struct Stats {
  uint64_t accepted = 0;
  uint64_t forwarded = 0;
  uint64_t dropped_messages = 0;
  uint64_t dropped_bytes = 0;
  uint64_t closed_malformed = 0;
  uint64_t closed_slow = 0;
  uint64_t closed_silent = 0;
  uint64_t joins = 0;
  uint64_t leaves = 0;
  uint64_t drops = 0;
};

class Server {
 public:
  explicit Server(Options options) : o_(std::move(options)) {}
  int Run();

 private:
  bool Listen();
  void Accept();
  void ReadFrom(Connection& c);
  void Handle(Connection& c, uint8_t kind, const uint8_t* payload, size_t size,
              const std::shared_ptr<const std::string>& frame);
  void Join(Connection& c, const uint8_t* payload, size_t size);
  void Leave(Connection& c, uint32_t reason, const char* how);
  void Queue(Connection& c, std::string message, bool droppable) {
    Queue(c, std::make_shared<const std::string>(std::move(message)), droppable);
  }
  void Queue(Connection& c, const std::shared_ptr<const std::string>& message, bool droppable);
  void Flush(Connection& c);
  void Close(Connection& c, const std::string& why);
  std::vector<Connection*> Others(const Connection& c);
  std::string StatsJson() const;

  Options o_;
  int listen_fd_ = -1;
  uint64_t next_id_ = 1;
  std::map<int, std::unique_ptr<Connection>> conns_;
  std::map<RoomKey, std::vector<Connection*>> rooms_;
  Stats stats_;
};

bool Server::Listen() {
  const SocketAddress& a = o_.address;
  if (a.tcp) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(a.port);
    inet_pton(AF_INET, a.host.c_str(), &sa.sin_addr);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      std::fprintf(stderr, "lumora-room: cannot listen on %s: %s\n", a.text().c_str(), std::strerror(errno));
      return false;
    }
  } else {
    // The folder: made private when we make it; an existing default folder
    // must be ours and private, since anyone who can reach the socket joins.
    const std::string folder = a.path.substr(0, a.path.rfind('/'));
    struct stat st {};
    if (!folder.empty() && stat(folder.c_str(), &st) != 0) {
      if (mkdir(folder.c_str(), 0700) != 0) {
        std::fprintf(stderr, "lumora-room: cannot make %s: %s\n", folder.c_str(), std::strerror(errno));
        return false;
      }
    } else if (!folder.empty() && a.path == DefaultSocketPath() &&
               (st.st_uid != getuid() || (st.st_mode & 077) != 0)) {
      std::fprintf(stderr, "lumora-room: %s is not a folder private to this user (mode 0700); refusing to use it\n",
                   folder.c_str());
      return false;
    }
    // A socket left by a server that is gone is replaced; a live one is not.
    std::string ignored;
    const int probe = ConnectTo(a, 500, &ignored);
    if (probe >= 0) {
      close(probe);
      std::fprintf(stderr, "lumora-room: a server already listens on %s\n", a.text().c_str());
      return false;
    }
    unlink(a.path.c_str());
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, a.path.c_str(), a.path.size() + 1);
    // Made 0600 from the start: no moment when others could connect.
    const mode_t old_mask = umask(0177);
    const int rc = bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    umask(old_mask);
    if (rc != 0) {
      std::fprintf(stderr, "lumora-room: cannot listen on %s: %s\n", a.text().c_str(), std::strerror(errno));
      return false;
    }
  }
  if (listen(listen_fd_, 128) != 0) {
    std::fprintf(stderr, "lumora-room: listen: %s\n", std::strerror(errno));
    return false;
  }
  if (a.tcp && a.port == 0) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    o_.address.port = ntohs(sa.sin_port);
  }
  return true;
}

void Server::Accept() {
  for (;;) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      return;
    }
    if (o_.address.tcp) {
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    c->id = next_id_++;
    c->last_heard = Clock::now();
    ++stats_.accepted;
    conns_[fd] = std::move(c);
  }
}

std::vector<Connection*> Server::Others(const Connection& c) {
  std::vector<Connection*> others;
  auto found = rooms_.find(c.room);
  if (c.joined && found != rooms_.end()) {
    for (Connection* m : found->second) {
      if (m != &c && !m->closing) others.push_back(m);
    }
  }
  return others;
}

void Server::Queue(Connection& c, const std::shared_ptr<const std::string>& message, bool droppable) {
  if (c.closing) {
    return;
  }
  if (droppable && c.out_bytes + message->size() > o_.queue_soft_limit) {
    ++c.dropped;
    ++stats_.dropped_messages;
    stats_.dropped_bytes += message->size();
    return;
  }
  if (c.out_bytes + message->size() > o_.queue_hard_limit) {
    ++stats_.closed_slow;
    c.closing = true;
    c.close_why = "too slow: its queue passed " + std::to_string(o_.queue_hard_limit) + " bytes";
    return;
  }
  c.out_bytes += message->size();
  c.out.push_back(message);
}

void Server::Flush(Connection& c) {
  while (!c.out.empty() && !c.closing) {
    const std::string& front = *c.out.front();
    const ssize_t n = send(c.fd, front.data() + c.out_offset, front.size() - c.out_offset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      const std::string why = std::string("write failed: ") + std::strerror(errno);
      // A member that left and closed at once has its LEAVE still waiting
      // to be read: handled first, it makes this a leave, not a drop.
      ReadFrom(c);
      if (!c.closing) {
        c.closing = true;
        c.close_why = why;
      }
      return;
    }
    c.out_offset += static_cast<size_t>(n);
    if (c.out_offset == front.size()) {
      c.out_bytes -= front.size();
      c.out.pop_front();
      c.out_offset = 0;
    }
  }
}

void Server::Leave(Connection& c, uint32_t reason, const char* how) {
  if (!c.joined) {
    return;
  }
  for (Connection* other : Others(c)) {
    Queue(*other, Writer(kPeerLeave).str(c.member.user).u32(reason).take(), false);
  }
  auto found = rooms_.find(c.room);
  if (found != rooms_.end()) {
    auto& members = found->second;
    members.erase(std::remove(members.begin(), members.end(), &c), members.end());
    if (members.empty()) rooms_.erase(found);
  }
  c.joined = false;
  if (reason == kReasonDropped) {
    ++stats_.drops;
  } else {
    ++stats_.leaves;
  }
  log_line("%s room=%s user=%s conn=%llu (%s)", reason == kReasonDropped ? "drop" : "leave", c.room.text().c_str(),
           c.member.user.c_str(), static_cast<unsigned long long>(c.id), how);
}

void Server::Close(Connection& c, const std::string& why) {
  Leave(c, kReasonDropped, why.c_str());
  close(c.fd);
  conns_.erase(c.fd);  // destroys c
}

void Server::Join(Connection& c, const uint8_t* payload, size_t size) {
  Reader r(payload, size);
  uint32_t version = 0;
  RoomKey key;
  MemberInfo member;
  r.u32(&version);
  r.u32(&key.app);
  r.u32(&key.room);
  r.str(&key.str_room);
  read_member(r, &member);
  auto refuse = [&](uint32_t code, const std::string& why) {
    Queue(c, Writer(kRefused).u32(code).str(why).take(), false);
    log_line("refused room=%s user=%s conn=%llu: %s", key.text().c_str(), member.user.c_str(),
             static_cast<unsigned long long>(c.id), why.c_str());
  };
  if (c.joined) {
    return refuse(kErrFailed, "already in a room on this connection");
  }
  if (version != kProtocolVersion) {
    return refuse(kErrFailed, "protocol version " + std::to_string(version) + ", this server speaks " +
                                  std::to_string(kProtocolVersion));
  }
  if (key.room != 0) key.str_room.clear();
  if (key.app == 0 || (key.room == 0 && key.str_room.empty())) {
    return refuse(kErrEnterRoomFailed, "no application id or room");
  }
  auto& members = rooms_[key];
  for (Connection* m : members) {
    if (m->member.user == member.user) {
      return refuse(kErrEnterRoomFailed, "user id already in the room");
    }
  }
  Writer joined(kJoined);
  joined.u32(static_cast<uint32_t>(members.size()));
  for (Connection* m : members) {
    write_member(joined, m->member);
  }
  Queue(c, joined.take(), false);
  Writer enter(kPeerEnter);
  write_member(enter, member);
  const auto announcement = std::make_shared<const std::string>(enter.take());
  for (Connection* m : members) {
    m->announced.erase(member.user);
    Queue(*m, announcement, false);
  }
  c.joined = true;
  c.room = key;
  c.member = std::move(member);
  members.push_back(&c);
  ++stats_.joins;
  log_line("join room=%s user=%s conn=%llu (%zu in the room)", key.text().c_str(), c.member.user.c_str(),
           static_cast<unsigned long long>(c.id), members.size());
}

void Server::Handle(Connection& c, uint8_t kind, const uint8_t* payload, size_t size,
                    const std::shared_ptr<const std::string>& frame) {
  std::string sender;
  if (!Valid(kind, payload, size, &sender) || (kind >= kJoined && kind <= kStatsReply)) {
    ++stats_.closed_malformed;
    c.closing = true;
    c.close_why = "malformed message of kind " + std::to_string(kind) + " (" + std::to_string(size) + " bytes)";
    return;
  }
  Reader r(payload, size);
  switch (kind) {
    case kPing:
      return;
    case kStats:
      return Queue(c, Writer(kStatsReply).str(StatsJson()).take(), false);
    case kJoin:
      return Join(c, payload, size);
    default:
      break;
  }
  if (!c.joined) {
    ++stats_.closed_malformed;
    c.closing = true;
    c.close_why = "message of kind " + std::to_string(kind) + " before joining a room";
    return;
  }
  switch (kind) {
    case kLeave: {
      uint32_t reason = kReasonLeft;
      r.u32(&reason);
      Leave(c, reason == kReasonDestroyed ? kReasonDestroyed : kReasonLeft, "left");
      return;
    }
    case kChannel: {
      uint32_t stream = 0;
      uint8_t available = 0;
      r.u32(&stream);
      r.u8(&available);
      auto& video = c.member.video;
      if (stream == 0) {
        c.member.audio = available != 0;
      } else if (available != 0 && std::find(video.begin(), video.end(), stream) == video.end()) {
        if (video.size() < 8) video.push_back(stream);
      } else if (available == 0) {
        video.erase(std::remove(video.begin(), video.end(), stream), video.end());
      }
      const auto message = std::make_shared<const std::string>(Writer(kPeerChannel).str(c.member.user).u32(stream).u8(available).take());
      for (Connection* other : Others(c)) Queue(*other, message, false);
      return;
    }
    case kSubscribe: {
      std::string user;
      uint32_t stream = 0;
      uint8_t on = 0;
      r.str(&user);
      r.u32(&stream);
      r.u8(&on);
      if (on != 0) {
        if (c.subscriptions.size() < 4096) c.subscriptions.emplace(user, stream);
      } else {
        c.subscriptions.erase({user, stream});
      }
      return;
    }
    case kAnnounced: {
      std::string user;
      r.str(&user);
      if (c.announced.size() < 4096) c.announced.insert(user);
      return;
    }
    case kKeyRequest: {
      std::string user;
      uint32_t stream = 0;
      r.str(&user);
      r.u32(&stream);
      for (Connection* other : Others(c)) {
        if (other->member.user == user) Queue(*other, Writer(kKeyFrameWanted).u32(stream).take(), false);
      }
      return;
    }
    default:
      break;
  }
  // Forwarded as sent, once the sender is who the connection joined as.
  if (sender != c.member.user) {
    ++stats_.closed_malformed;
    c.closing = true;
    c.close_why = "a message sent in the name of '" + sender + "'";
    return;
  }
  bool droppable = true;
  // Media: only to members that take it (see wire.h).
  const bool media = kind == kAudio || kind == kVideo || kind == kPixel;
  uint32_t stream = kStreamAudio;
  if (kind == kVideo || kind == kPixel) {
    std::string ignored;
    r.str(&ignored);
    r.u32(&stream);
  }
  if (kind == kCommand) {
    uint32_t skip = 0;
    uint8_t reliable = 0;
    std::string ignored;
    r.str(&ignored);
    r.u32(&skip);
    r.u32(&skip);
    r.u8(&reliable);
    droppable = reliable == 0;
  }
  for (Connection* other : Others(c)) {
    if (media && other->subscriptions.count({sender, stream}) == 0 && other->announced.count(sender) != 0) {
      continue;
    }
    Queue(*other, frame, droppable);
    ++stats_.forwarded;
  }
}

void Server::ReadFrom(Connection& c) {
  char buf[65536];
  for (int rounds = 0; rounds < 16 && !c.closing; ++rounds) {
    const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n == 0) {
      c.closing = true;
      c.close_why = "connection closed";
      break;
    }
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) {
        c.closing = true;
        c.close_why = std::string("read failed: ") + std::strerror(errno);
      }
      break;
    }
    c.last_heard = Clock::now();
    c.in.append(buf, static_cast<size_t>(n));
    size_t at = 0;
    while (!c.closing && c.in.size() - at >= kHeaderSize) {
      const auto* head = reinterpret_cast<const uint8_t*>(c.in.data() + at);
      const uint32_t length = FrameLength(head);
      if (length < 1 || length > kMaxMessage) {
        ++stats_.closed_malformed;
        c.closing = true;
        c.close_why = "message of " + std::to_string(length) + " bytes (the limit is " +
                      std::to_string(kMaxMessage) + ")";
        break;
      }
      if (c.in.size() - at < 4 + static_cast<size_t>(length)) break;
      const auto frame = std::make_shared<const std::string>(c.in, at, 4 + static_cast<size_t>(length));
      at += 4 + length;
      Handle(c, head[4], reinterpret_cast<const uint8_t*>(frame->data()) + kHeaderSize, length - 1, frame);
    }
    c.in.erase(0, at);
  }
}

std::string Server::StatsJson() const {
  size_t members = 0;
  for (const auto& [key, list] : rooms_) members += list.size();
  std::string per;
  for (const auto& [fd, c] : conns_) {
    if (!per.empty()) per += ",";
    per += "{\"conn\":" + std::to_string(c->id) + ",\"user\":\"" + (c->joined ? c->member.user : "") +
           "\",\"queued_bytes\":" + std::to_string(c->out_bytes) + ",\"dropped\":" + std::to_string(c->dropped) + "}";
  }
  char head[512];
  std::snprintf(head, sizeof head,
                "{\"connections\":%zu,\"rooms\":%zu,\"members\":%zu,\"accepted\":%llu,\"joins\":%llu,"
                "\"leaves\":%llu,\"drops\":%llu,\"forwarded\":%llu,\"dropped_messages\":%llu,"
                "\"dropped_bytes\":%llu,\"closed_malformed\":%llu,\"closed_slow\":%llu,\"closed_silent\":%llu,",
                conns_.size(), rooms_.size(), members, static_cast<unsigned long long>(stats_.accepted),
                static_cast<unsigned long long>(stats_.joins), static_cast<unsigned long long>(stats_.leaves),
                static_cast<unsigned long long>(stats_.drops), static_cast<unsigned long long>(stats_.forwarded),
                static_cast<unsigned long long>(stats_.dropped_messages),
                static_cast<unsigned long long>(stats_.dropped_bytes),
                static_cast<unsigned long long>(stats_.closed_malformed),
                static_cast<unsigned long long>(stats_.closed_slow),
                static_cast<unsigned long long>(stats_.closed_silent));
  return std::string(head) + "\"per_connection\":[" + per + "]}";
}

int Server::Run() {
  if (!Listen()) {
    return 1;
  }
  log_line("listening on %s", o_.address.text().c_str());
  log_line("point programs at it with: export LUMORA_ROOM_SERVER=%s", o_.address.text().c_str());
  auto next_ping = Clock::now();
  const auto ping = std::make_shared<const std::string>(Writer(kPing).take());
  std::vector<pollfd> fds;
  while (g_stop == 0) {
    fds.clear();
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const auto& [fd, c] : conns_) {
      fds.push_back({fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
    }
    const int n = poll(fds.data(), fds.size(), 100);
    if (n < 0 && errno != EINTR) {
      log_line("poll failed: %s", std::strerror(errno));
      break;
    }
    if (n > 0 && (fds[0].revents & POLLIN) != 0) {
      Accept();
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      auto found = conns_.find(fds[i].fd);
      if (found == conns_.end() || fds[i].revents == 0) continue;
      Connection& c = *found->second;
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadFrom(c);
    }
    const auto now = Clock::now();
    const bool ping_now = now >= next_ping;
    if (ping_now) next_ping = now + std::chrono::milliseconds(o_.heartbeat_ms);
    std::vector<Connection*> all;
    for (const auto& [fd, c] : conns_) all.push_back(c.get());
    for (Connection* c : all) {
      if (!c->closing && now - c->last_heard > std::chrono::milliseconds(o_.silence_limit_ms)) {
        ++stats_.closed_silent;
        c->closing = true;
        c->close_why = "no heartbeat for " + std::to_string(o_.silence_limit_ms) + " ms";
      }
      if (ping_now && !c->closing) Queue(*c, ping, false);
      Flush(*c);
    }
    for (Connection* c : all) {
      if (c->closing) {
        if (!c->joined && c->close_why != "connection closed") {
          log_line("closed conn=%llu: %s", static_cast<unsigned long long>(c->id), c->close_why.c_str());
        }
        Close(*c, c->close_why);
      }
    }
  }
  log_line("stopping: %s", StatsJson().c_str());
  for (auto& [fd, c] : conns_) close(fd);
  close(listen_fd_);
  if (!o_.address.tcp) unlink(o_.address.path.c_str());
  return 0;
}

const char kUsage[] =
    "usage: lumora-room [--socket PATH | --tcp PORT [--host ADDR --allow-any-address]]\n"
    "                   [--silence-limit-ms N] [--queue-limit-bytes N]\n"
    "\n"
    "A local room server for the stand-in SDK: any number of processes whose\n"
    "LUMORA_ROOM_SERVER names it meet in its rooms.\n"
    "\n"
    "  --socket PATH     listen on this Unix socket (default: %s;\n"
    "                    the folder is made 0700, the socket 0600)\n"
    "  --tcp PORT        listen on TCP 127.0.0.1:PORT instead (0: any free port)\n"
    "  --host ADDR       another IPv4 address to listen on; refused unless\n"
    "                    --allow-any-address is given too: the server has no\n"
    "                    encryption and no authentication, so anyone who reaches\n"
    "                    the port can join any room and hear everything in it\n"
    "  --silence-limit-ms N   drop a member silent for this long (default 5000)\n"
    "  --queue-limit-bytes N  per-member queue: past N media is dropped and\n"
    "                    counted, past 16 N the member is closed (default 4 MiB)\n";

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string socket_path = DefaultSocketPath();
  long tcp_port = -1;
  std::string host = "127.0.0.1";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "lumora-room: %s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--socket") {
      socket_path = value();
    } else if (arg == "--tcp") {
      tcp_port = std::strtol(value().c_str(), nullptr, 10);
    } else if (arg == "--host") {
      host = value();
    } else if (arg == "--allow-any-address") {
      o.allow_any_address = true;
    } else if (arg == "--silence-limit-ms") {
      o.silence_limit_ms = std::max(200, static_cast<int>(std::strtol(value().c_str(), nullptr, 10)));
    } else if (arg == "--queue-limit-bytes") {
      o.queue_soft_limit = std::max<size_t>(1024, std::strtoull(value().c_str(), nullptr, 10));
      o.queue_hard_limit = 16 * o.queue_soft_limit;
    } else if (arg == "-h" || arg == "--help") {
      std::printf(kUsage, DefaultSocketPath().c_str());
      return 0;
    } else {
      std::fprintf(stderr, "lumora-room: unknown option %s\n", arg.c_str());
      std::fprintf(stderr, kUsage, DefaultSocketPath().c_str());
      return 2;
    }
  }
  std::string error;
  if (tcp_port >= 0) {
    if (tcp_port > 65535) {
      std::fprintf(stderr, "lumora-room: bad port %ld\n", tcp_port);
      return 2;
    }
    if (host != "127.0.0.1" && !o.allow_any_address) {
      std::fprintf(stderr,
                   "lumora-room: refusing to listen on %s: the server has no encryption and no "
                   "authentication; pass --allow-any-address to do it anyway\n",
                   host.c_str());
      return 2;
    }
    o.address.tcp = true;
    o.address.host = host;
    o.address.port = static_cast<uint16_t>(tcp_port);
    in_addr probe{};
    if (inet_pton(AF_INET, host.c_str(), &probe) != 1) {
      std::fprintf(stderr, "lumora-room: not an IPv4 address: %s\n", host.c_str());
      return 2;
    }
  } else if (!ParseAddress(socket_path[0] == '/' ? socket_path : "unix:" + socket_path, &o.address, &error) ||
             o.address.tcp) {
    std::fprintf(stderr, "lumora-room: %s\n", error.c_str());
    return 2;
  }
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return Server(o).Run();
}
