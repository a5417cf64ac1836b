// Where a room server listens and how a client reaches it: the address
// forms shared by the server's command line and LUMORA_ROOM_SERVER.
//
//   unix:/path/room.sock  or  /path/room.sock   a Unix stream socket
//   tcp:127.0.0.1:7810    or  127.0.0.1:7810    TCP (IPv4 dotted address)
//   default                                     the default Unix socket below
//
// The default socket lives in a folder private to the user:
// $XDG_RUNTIME_DIR/lumora-room/room.sock when that variable names a folder,
// else /tmp/lumora-room-<uid>/room.sock.
#pragma once

#include <cstdint>
#include <string>

namespace lumora_net {

struct SocketAddress {
  bool tcp = false;
  std::string path;  // Unix socket
  std::string host;  // TCP
  uint16_t port = 0;
  // As the address forms above, for logs and messages.
  std::string text() const;
};

// False, with `error` set, when the text is none of the forms above.
bool ParseAddress(const std::string& text, SocketAddress* out, std::string* error);
std::string DefaultSocketPath();

// A connected, blocking stream socket (close-on-exec), or -1 with `error`
// set. A TCP connect gives up after timeout_ms.
int ConnectTo(const SocketAddress& address, int timeout_ms, std::string* error);

// Writes all of `data` to a blocking socket, or gives up after timeout_ms;
// never raises SIGPIPE.
bool WriteAll(int fd, const std::string& data, int timeout_ms);

// Reads one framed message from a blocking socket within timeout_ms:
// its kind and payload. False on time-out, end of stream or a bad frame.
bool ReadMessage(int fd, int timeout_ms, uint8_t* kind, std::string* payload);

}  // namespace lumora_net
