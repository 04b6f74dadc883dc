// A new connection to a console that serves TLS: told from plain HTTP by its
// first bytes, its TLS handshake done, then handed to an HTTP session of its
// kind. Waiting for the first bytes and the handshake together take at most
// the header time, and the connection holds its peer's place meanwhile: a
// client that never finishes its handshake cannot hold many places for long.
#ifndef NAO_KINORA_CONSOLE_CONNECTION_DETECTOR_H
#define NAO_KINORA_CONSOLE_CONNECTION_DETECTOR_H

#include "nao_kinora_console/http/http_session.h"

#include <boost/optional.hpp>

namespace nao_kinora_console
{
class ConnectionDetector : public std::enable_shared_from_this<ConnectionDetector>
{
public:
  ConnectionDetector(tcp::socket socket, std::shared_ptr<void> place, net::ssl::context& tls, RequestHandler& handler);
  void start();

private:
  void onDetect(beast::error_code error, bool tls);
  void onHandshake(beast::error_code error, std::size_t used);

  beast::tcp_stream stream_;  // until it is known to be plain or TLS
  boost::optional<beast::ssl_stream<beast::tcp_stream>> tlsStream_;
  std::shared_ptr<void> place_;
  net::ssl::context& tls_;
  RequestHandler& handler_;
  beast::flat_buffer buffer_;
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CONNECTION_DETECTOR_H
