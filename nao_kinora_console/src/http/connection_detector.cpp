#include "nao_kinora_console/http/connection_detector.h"

namespace nao_kinora_console
{
ConnectionDetector::ConnectionDetector(tcp::socket socket, std::shared_ptr<void> place, net::ssl::context& tls,
                                       RequestHandler& handler)
    : stream_(std::move(socket)), place_(std::move(place)), tls_(tls), handler_(handler)
{
}

void ConnectionDetector::start()
{
  // One deadline for the first bytes and the whole handshake: the handshake's
  // reads go on against the same expiry.
  stream_.expires_after(kHeaderTime);
  beast::async_detect_ssl(
      stream_, buffer_, [self = shared_from_this()](beast::error_code error, bool tls) { self->onDetect(error, tls); });
}

void ConnectionDetector::onDetect(beast::error_code error, bool tls)
{
  // Silence until the time-out, or a connection gone: nothing to answer.
  if (error)
    return;
  if (!tls)
  {
    // The guard answers a plain request where plain HTTP is refused.
    servePlain(std::move(stream_), std::move(buffer_), std::move(place_), handler_);
    return;
  }
  tlsStream_.emplace(std::move(stream_), tls_);
  tlsStream_->async_handshake(net::ssl::stream_base::server, buffer_.data(),
                              [self = shared_from_this()](beast::error_code error, std::size_t used)
                              { self->onHandshake(error, used); });
}

void ConnectionDetector::onHandshake(beast::error_code error, std::size_t used)
{
  if (error)
    return;
  buffer_.consume(used);
  serveTls(std::move(*tlsStream_), std::move(buffer_), std::move(place_), handler_);
}
}  // namespace nao_kinora_console
