// One cloud's connection to a room server: a socket, the thread that reads
// and writes it, a bounded outgoing queue, heartbeats, and reconnection.
//
// Design. Entering opens the link synchronously (connect, JOIN, the reply)
// so EnterRoom can report what happened; then one thread per link does all
// its I/O with poll(). The thread never calls the application: it hands what
// arrives to its Listener (the cloud's side, server_room.cpp), which queues
// callbacks on the cloud's event thread, so the callbacks come on the same
// kind of thread as in the in-process room.
//
// Faults. No bytes from the server for kSilenceLimitMs (it sends a heartbeat
// every second), a closed socket or a write error mean the link is lost: the
// Listener hears OnLost, the queue is emptied, and the thread reconnects
// every kRetryMs for kReconnectWindowMs, sending the Listener's current JOIN
// each time. Joined again, the reply goes to OnMessage as usual; otherwise
// OnGaveUp and the thread ends.
//
// Shutdown never hangs: Close queues a last message, tells the thread to
// stop, and waits at most kCloseWaitMs for it (the thread writes what it can
// for kFlushMs, then closes the socket). The thread owns the link's state
// (shared_ptr), so a thread that outlives Close touches nothing freed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "net/socket_address.h"

namespace lumora_sdk {

class RoomLink : public std::enable_shared_from_this<RoomLink> {
 public:
  static constexpr int kConnectTimeoutMs = 2000;
  static constexpr int kReplyTimeoutMs = 5000;
  static constexpr int kHeartbeatMs = 1000;
  static constexpr int kSilenceLimitMs = 5000;
  static constexpr int kRetryMs = 250;
  // How long a lost link tries to come back; LUMORA_ROOM_SERVER_RECONNECT_MS
  // (read when the link opens) sets another window, for tests and for
  // programs that would rather hear sooner that they left.
  static constexpr int kReconnectWindowMs = 15000;
  static constexpr int kFlushMs = 300;
  static constexpr int kCloseWaitMs = 2000;
  // Past this many queued bytes, media and unreliable messages are dropped.
  static constexpr size_t kQueueLimit = 8u << 20;

  // Called on the link's thread with no SDK lock held.
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void OnMessage(uint8_t kind, const uint8_t* payload, size_t size) = 0;
    // The connection is gone; reconnecting from now on. `silent`: the server
    // stopped answering (rather than closing the connection).
    virtual void OnLost(bool silent) = 0;
    // The JOIN to send on reconnecting, as the member stands now.
    virtual std::string JoinMessage() = 0;
    virtual void OnGaveUp() = 0;
  };

  // Connects, sends `join` and reads the reply: 0 with the link, its kind
  // and payload, or a negative SDK error code (ERR_NETWORK_UNREACHABLE when
  // nothing listens, ERR_REQUEST_SERVER_TIMEOUT when nothing answers).
  static int Open(const lumora_net::SocketAddress& address, const std::string& join, std::shared_ptr<RoomLink>* link,
                  uint8_t* reply_kind, std::string* reply);

  ~RoomLink();
  RoomLink(const RoomLink&) = delete;
  RoomLink& operator=(const RoomLink&) = delete;

  // Starts the thread; false when none can be made.
  bool Start(std::shared_ptr<Listener> listener);
  // Queues a framed message. Dropped (false) while disconnected, and when
  // `droppable` and the queue is past kQueueLimit.
  bool Send(std::string message, bool droppable);
  // Drops the queued messages of this kind (unsent audio, on request).
  void DropQueued(uint8_t kind);
  // Sends `last` (if connected, within kFlushMs), stops the thread and waits
  // for it at most kCloseWaitMs. Safe from any thread but the link's own.
  void Close(std::string last);

  uint64_t dropped() const { return dropped_.load(); }
  const lumora_net::SocketAddress& address() const { return address_; }

 private:
  RoomLink(lumora_net::SocketAddress address, int fd);
  void Run();
  // Reads and writes until the link is lost (false; `silent` when the
  // server stopped answering) or told to stop (true).
  bool Pump(bool* silent);
  bool Reconnect();
  bool ReadAvailable();
  bool WriteQueued();
  void Wake();

  const lumora_net::SocketAddress address_;
  int reconnect_window_ms_ = kReconnectWindowMs;
  int fd_;
  int wake_fd_ = -1;
  std::shared_ptr<Listener> listener_;
  std::string in_;

  std::mutex mu_;
  std::condition_variable done_cv_;
  std::deque<std::string> out_;  // guarded by mu_
  size_t out_offset_ = 0;        // guarded by mu_: written bytes of out_.front()
  size_t out_bytes_ = 0;         // guarded by mu_
  bool connected_ = false;       // guarded by mu_
  bool stopping_ = false;        // guarded by mu_
  bool started_ = false;         // guarded by mu_: the thread runs
  bool done_ = false;            // guarded by mu_
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace lumora_sdk
