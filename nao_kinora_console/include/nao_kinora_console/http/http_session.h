// One HTTP connection of the console, plain or over TLS, driven by the io
// thread without ever blocking it: the header read within a time limit, the
// guard on the header alone, the body read within its limit, the answer
// written, and the next request while the client keeps the connection open.
#ifndef NAO_KINORA_CONSOLE_HTTP_SESSION_H
#define NAO_KINORA_CONSOLE_HTTP_SESSION_H

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace nao_kinora_console
{
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// A client has this long to send a request's header (and its body), a new
// connection this long to finish its TLS handshake, and an idle kept-alive
// connection is closed after it: a connection that sends nothing gives its
// place back soon.
const std::chrono::seconds kHeaderTime(5);
// The request line and header fields together.
const std::uint32_t kHeaderLimit = 8192;

// How many connections each peer address holds open: one machine cannot take
// every place there is.
class PeerLimit
{
public:
  explicit PeerLimit(int perAddress) : perAddress_(perAddress) {}
  // A place for one more connection of address, given back when the last copy
  // of the pointer goes; empty when the address already holds its share.
  std::shared_ptr<void> take(const std::string& address);

private:
  std::mutex mutex_;  // places are given back from whichever thread drops them
  std::map<std::string, int> open_;
  const int perAddress_;
};

// Where a request came from, for the rules that depend on it: the Origin a
// page sends names https under TLS, and a request off loopback must come over TLS.
struct RequestSource
{
  std::string peer;   // the client's address
  std::string local;  // the address and port it reached, as in a URL: "10.0.0.5:8080", "[fe80::1]:8080"
  bool tls = false;
};

// The source of a connection, read from its socket.
RequestSource sourceOf(const tcp::socket& socket, bool tls);

class HttpSession;

// What the console does with requests; called on the io thread.
class RequestHandler
{
public:
  virtual ~RequestHandler() = default;
  // Fills answer and returns true for a request refused on its header alone,
  // before any of its body is read.
  virtual bool refuse(const RequestSource& from, const Request& head, Response& answer) = 0;
  // Answers a whole request through session->reply(), at once or later.
  virtual void handle(const std::shared_ptr<HttpSession>& session, const Request& request) = 0;
};

// A connection whose answer goes on after its head (an event stream): its
// bytes as they are, over TLS or not, on the connection's own strand.
class OpenStream
{
public:
  using Done = std::function<void(beast::error_code)>;
  virtual ~OpenStream() = default;
  virtual net::any_io_executor executor() = 0;
  // Writes all of bytes, which the caller keeps until done, within limit.
  virtual void write(net::const_buffer bytes, std::chrono::seconds limit, Done done) = 0;
  // Reads what the client sends, however long it takes.
  virtual void read(net::mutable_buffer into, Done done) = 0;
  virtual void close() = 0;
};

// One HTTP connection, plain or over TLS (http_session.cpp holds the one
// template for both): requests read one after the other, each refused on its
// header or handled whole, and its answer written.
class HttpSession : public std::enable_shared_from_this<HttpSession>
{
public:
  virtual ~HttpSession() = default;
  const RequestSource& source() const { return source_; }
  // The answer to the request being handled; from any thread.
  virtual void reply(Response answer) = 0;
  // The connection, for an answer that goes on; the session ends with it.
  virtual std::unique_ptr<OpenStream> takeStream() = 0;
  // The connection's place among its peer's; held by whoever holds the connection.
  std::shared_ptr<void> place() const { return place_; }

protected:
  HttpSession(std::shared_ptr<void> place, RequestSource source) : place_(std::move(place)), source_(std::move(source))
  {
  }

private:
  std::shared_ptr<void> place_;
  RequestSource source_;
};

// Serves HTTP on a connection; read holds what was read from it already.
void servePlain(beast::tcp_stream stream, beast::flat_buffer read, std::shared_ptr<void> place,
                RequestHandler& handler);
// The same over TLS, once the handshake is done.
void serveTls(beast::ssl_stream<beast::tcp_stream> stream, beast::flat_buffer read, std::shared_ptr<void> place,
              RequestHandler& handler);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_HTTP_SESSION_H
