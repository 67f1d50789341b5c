#include "KMX_uSocketBio.h"

#include <sys/socket.h>

#include <cerrno>

#include <openssl/bio.h>

namespace kelvane {
namespace {

int Descriptor(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(::BIO_get_data(bio))); }

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int SocketWrite(BIO* bio, const char* data, int size) {
  ::BIO_clear_retry_flags(bio);
  const ssize_t sent = ::send(Descriptor(bio), data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (sent < 0 && WouldBlock(errno)) ::BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int SocketRead(BIO* bio, char* data, int size) {
  ::BIO_clear_retry_flags(bio);
  const ssize_t received = ::recv(Descriptor(bio), data, static_cast<size_t>(size), 0);
  if (received < 0 && WouldBlock(errno)) ::BIO_set_retry_read(bio);
  return static_cast<int>(received);
}

long SocketControl(BIO*, int command, long, void*) {
  // Writes go straight to the socket: there is nothing to flush.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int SocketCreate(BIO* bio) {
  ::BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* SocketMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = ::BIO_meth_new(::BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                   "kelvane socket");
    if (m != nullptr) {
      ::BIO_meth_set_write(m, SocketWrite);
      ::BIO_meth_set_read(m, SocketRead);
      ::BIO_meth_set_ctrl(m, SocketControl);
      ::BIO_meth_set_create(m, SocketCreate);
    }
    return m;
  }();
  return method;
}

}  // namespace

BIO* NewSocketBio(int descriptor) {
  const BIO_METHOD* method = SocketMethod();
  BIO* bio = method != nullptr ? ::BIO_new(method) : nullptr;
  if (bio != nullptr) ::BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(descriptor)));
  return bio;
}

}  // namespace kelvane
