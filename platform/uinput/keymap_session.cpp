#include "keymap_session.h"

#include <sys/socket.h>

namespace aks::uinput {

pid_t PeerProcess(int socket) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return ::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 ? peer.pid : 0;
}

}  // namespace aks::uinput
