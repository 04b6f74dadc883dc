// One HTTP connection of the console, driven by the io thread without ever
// blocking it: the header read within a time limit, the guard on the header
// alone, the body read within its limit, the answer written, and the next
// request while the client keeps the connection open.
#ifndef NAO_KINORA_CONSOLE_HTTP_SESSION_H
#define NAO_KINORA_CONSOLE_HTTP_SESSION_H

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/optional.hpp>

#include <chrono>
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

// A client has this long to send a request's header (and its body), and an
// idle kept-alive connection is closed after it: a connection that sends
// nothing gives its place back soon.
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

class HttpSession;

// What the console does with requests; called on the io thread.
class RequestHandler
{
public:
  virtual ~RequestHandler() = default;
  // Fills answer and returns true for a request refused on its header alone,
  // before any of its body is read.
  virtual bool refuse(const Request& head, Response& answer) = 0;
  // Answers a whole request through session->reply(), at once or later.
  virtual void handle(const std::shared_ptr<HttpSession>& session, const Request& request) = 0;
};

class HttpSession : public std::enable_shared_from_this<HttpSession>
{
public:
  HttpSession(tcp::socket socket, std::shared_ptr<void> place, RequestHandler& handler);
  void start() { readHeader(); }
  // The answer to the request being handled; from any thread.
  void reply(Response answer);
  // The connection and its place, for an answer that goes on (an event
  // stream); the session ends with it.
  tcp::socket takeSocket() { return stream_.release_socket(); }
  std::shared_ptr<void> place() const { return place_; }

private:
  void readHeader();
  void onHeader(beast::error_code error);
  void onBody(beast::error_code error);
  void write(Response answer);
  void onWrite(beast::error_code error);
  void refuseMalformed(beast::error_code error);
  void finish();

  beast::tcp_stream stream_;
  std::shared_ptr<void> place_;
  RequestHandler& handler_;
  beast::flat_buffer buffer_;
  boost::optional<http::request_parser<http::string_body>> parser_;
  // Of the request being answered.
  unsigned version_ = 11;
  bool keepAlive_ = false;
  bool head_ = false;
  std::shared_ptr<Response> written_;
  char drain_[512];
};
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_HTTP_SESSION_H
