// One cloud's connection to a room server (see room_link.h).

#include "net/room_link.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

#include "net/wire.h"
#include "settings/sdk_log.h"
#include "threads/sdk_thread.h"

namespace lumora_sdk {

namespace {

using Clock = std::chrono::steady_clock;
using lumora_net::kHeaderSize;
using lumora_net::kMaxMessage;

// The SDK's error codes (lumora_vela_defines.h), kept numeric so this layer
// needs no SDK header.
constexpr int kErrRequestServerTimeout = -6;
constexpr int kErrNetworkUnreachable = -103;

// The server's answer to a JOIN: the next message that is not a heartbeat.
bool read_reply(int fd, uint8_t* kind, std::string* reply) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(RoomLink::kReplyTimeoutMs);
  do {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || !lumora_net::ReadMessage(fd, static_cast<int>(left), kind, reply)) return false;
  } while (*kind == lumora_net::kPing);
  return lumora_net::Valid(*kind, reinterpret_cast<const uint8_t*>(reply->data()), reply->size(), nullptr);
}

}  // namespace

int RoomLink::Open(const lumora_net::SocketAddress& address, const std::string& join, std::shared_ptr<RoomLink>* link,
                   uint8_t* reply_kind, std::string* reply) {
  std::string error;
  const int fd = lumora_net::ConnectTo(address, kConnectTimeoutMs, &error);
  if (fd < 0) {
    log_line(kLogWarning, "room server: %s", error.c_str());
    return kErrNetworkUnreachable;
  }
  if (!lumora_net::WriteAll(fd, join, kReplyTimeoutMs) || !read_reply(fd, reply_kind, reply)) {
    log_line(kLogWarning, "room server at %s did not answer the entry", address.text().c_str());
    close(fd);
    return kErrRequestServerTimeout;
  }
  link->reset(new RoomLink(address, fd));
  if (const char* window = std::getenv("LUMORA_ROOM_SERVER_RECONNECT_MS")) {
    const long ms = std::strtol(window, nullptr, 10);
    if (ms >= 0 && ms <= 24L * 3600 * 1000) (*link)->reconnect_window_ms_ = static_cast<int>(ms);
  }
  return 0;
}

RoomLink::RoomLink(lumora_net::SocketAddress address, int fd)
    : address_(std::move(address)), fd_(fd), wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), connected_(true) {}

RoomLink::~RoomLink() {
  if (fd_ >= 0) close(fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

bool RoomLink::Start(std::shared_ptr<Listener> listener) {
  listener_ = std::move(listener);
  std::shared_ptr<RoomLink> self = shared_from_this();
  try {
    start_sdk_thread([self] { self->Run(); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  started_ = true;
  return true;
}

void RoomLink::Wake() {
  const uint64_t one = 1;
  if (wake_fd_ >= 0) {
    ssize_t ignored = write(wake_fd_, &one, sizeof one);
    (void)ignored;
  }
}

bool RoomLink::Send(std::string message, bool droppable) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!connected_ || stopping_ || (droppable && out_bytes_ + message.size() > kQueueLimit)) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    out_bytes_ += message.size();
    out_.push_back(std::move(message));
  }
  Wake();
  return true;
}

void RoomLink::DropQueued(uint8_t kind) {
  std::lock_guard<std::mutex> lock(mu_);
  // The front may be partly written: it stays.
  for (auto it = out_.begin() + (out_offset_ != 0 && !out_.empty() ? 1 : 0); it != out_.end();) {
    if (it->size() > 4 && static_cast<uint8_t>((*it)[4]) == kind) {
      out_bytes_ -= it->size();
      it = out_.erase(it);
    } else {
      ++it;
    }
  }
}

void RoomLink::Close(std::string last) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!stopping_) {
    stopping_ = true;
    if (connected_ && !last.empty()) {
      out_bytes_ += last.size();
      out_.push_back(std::move(last));
    }
  }
  if (!started_) {
    return;  // no thread: the socket closes with the link
  }
  lock.unlock();
  done_cv_.notify_all();  // a thread waiting to reconnect stops waiting
  Wake();
  lock.lock();
  done_cv_.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs), [this] { return done_; });
}

bool RoomLink::WriteQueued() {
  std::lock_guard<std::mutex> lock(mu_);
  while (!out_.empty()) {
    const std::string& front = out_.front();
    const ssize_t n =
        send(fd_, front.data() + out_offset_, front.size() - out_offset_, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      return errno == EAGAIN || errno == EINTR;
    }
    out_offset_ += static_cast<size_t>(n);
    if (out_offset_ == front.size()) {
      out_bytes_ -= front.size();
      out_.pop_front();
      out_offset_ = 0;
    }
  }
  return true;
}

bool RoomLink::ReadAvailable() {
  char buf[65536];
  for (int rounds = 0; rounds < 16; ++rounds) {
    const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    in_.append(buf, static_cast<size_t>(n));
    size_t at = 0;
    while (in_.size() - at >= kHeaderSize) {
      const auto* head = reinterpret_cast<const uint8_t*>(in_.data() + at);
      const uint32_t length = lumora_net::FrameLength(head);
      if (length < 1 || length > kMaxMessage) {
        log_line(kLogError, "room server sent a message of %u bytes; closing the connection", length);
        return false;
      }
      if (in_.size() - at < 4 + static_cast<size_t>(length)) break;
      const uint8_t kind = head[4];
      const uint8_t* payload = head + kHeaderSize;
      at += 4 + length;
      if (!lumora_net::Valid(kind, payload, length - 1, nullptr)) {
        log_line(kLogError, "room server sent a malformed message of kind %u; closing the connection", kind);
        return false;
      }
      if (kind != lumora_net::kPing) listener_->OnMessage(kind, payload, length - 1);
    }
    in_.erase(0, at);
    if (static_cast<size_t>(n) < sizeof buf) break;
  }
  return true;
}

bool RoomLink::Pump(bool* silent) {
  *silent = false;
  const std::string ping = lumora_net::Writer(lumora_net::kPing).take();
  auto last_heard = Clock::now();
  auto next_ping = Clock::now();
  for (;;) {
    bool stopping = false;
    bool pending = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping = stopping_;
      pending = !out_.empty();
    }
    if (stopping) {
      // What is queued (the leave last) gets kFlushMs to go out.
      const auto deadline = Clock::now() + std::chrono::milliseconds(kFlushMs);
      while (Clock::now() < deadline && WriteQueued()) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          if (out_.empty()) break;
        }
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 20);
      }
      return true;
    }
    const auto now = Clock::now();
    if (now >= next_ping) {
      next_ping = now + std::chrono::milliseconds(kHeartbeatMs);
      std::lock_guard<std::mutex> lock(mu_);
      out_bytes_ += ping.size();
      out_.push_back(ping);
      pending = true;
    }
    pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (pending ? POLLOUT : 0)), 0}, {wake_fd_, POLLIN, 0}};
    const int n = poll(fds, 2, 100);
    if (n < 0 && errno != EINTR) return false;
    if ((fds[1].revents & POLLIN) != 0) {
      uint64_t count = 0;
      ssize_t ignored = read(wake_fd_, &count, sizeof count);
      (void)ignored;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      if (!ReadAvailable()) return false;
      last_heard = Clock::now();
    }
    if (!WriteQueued()) return false;
    if (Clock::now() - last_heard > std::chrono::milliseconds(kSilenceLimitMs)) {
      *silent = true;
      return false;
    }
  }
}

bool RoomLink::Reconnect() {
  const auto deadline = Clock::now() + std::chrono::milliseconds(reconnect_window_ms_);
  while (Clock::now() < deadline) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      done_cv_.wait_for(lock, std::chrono::milliseconds(kRetryMs), [this] { return stopping_; });
      if (stopping_) return false;
    }
    std::string error;
    const int fd = lumora_net::ConnectTo(address_, kConnectTimeoutMs, &error);
    if (fd < 0) continue;
    uint8_t kind = 0;
    std::string reply;
    if (lumora_net::WriteAll(fd, listener_->JoinMessage(), kReplyTimeoutMs) && read_reply(fd, &kind, &reply) &&
        kind == lumora_net::kJoined) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        fd_ = fd;
        in_.clear();
        connected_ = !stopping_;
      }
      log_line(kLogInfo, "room server at %s: entered the room again", address_.text().c_str());
      listener_->OnMessage(kind, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
      return true;
    }
    close(fd);
  }
  return false;
}

void RoomLink::Run() {
  for (;;) {
    bool silent = false;
    if (Pump(&silent)) break;  // told to stop
    {
      std::lock_guard<std::mutex> lock(mu_);
      connected_ = false;
      dropped_.fetch_add(out_.size(), std::memory_order_relaxed);
      out_.clear();
      out_bytes_ = 0;
      out_offset_ = 0;
      close(fd_);
      fd_ = -1;
    }
    log_line(kLogWarning, "room server at %s: connection lost (%s); reconnecting", address_.text().c_str(),
             silent ? "no heartbeat" : "closed");
    listener_->OnLost(silent);
    if (!Reconnect()) {
      bool stopping = false;
      {
        std::lock_guard<std::mutex> lock(mu_);
        stopping = stopping_;
      }
      if (!stopping) {
        log_line(kLogError, "room server at %s: not back within %d ms; leaving the room", address_.text().c_str(),
                 reconnect_window_ms_);
        listener_->OnGaveUp();
      }
      break;
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  connected_ = false;
  listener_.reset();  // the listener holds only weak references; let go of it here
  done_ = true;
  done_cv_.notify_all();
}

}  // namespace lumora_sdk
