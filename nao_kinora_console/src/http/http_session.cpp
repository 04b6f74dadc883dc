// The console's HTTP connections: one session template for the plain and the
// TLS stream, and the stream an event stream goes on with.
#include "nao_kinora_console/http/http_session.h"

#include "nao_kinora_console/http/request_rules.h"

#include <boost/optional.hpp>

#include <limits>
#include <type_traits>

namespace nao_kinora_console
{
std::shared_ptr<void> PeerLimit::take(const std::string& address)
{
  std::lock_guard<std::mutex> lock(mutex_);
  int& open = open_[address];
  if (open >= perAddress_)
    return nullptr;
  ++open;
  return std::shared_ptr<void>(this,
                               [this, address](void*)
                               {
                                 std::lock_guard<std::mutex> lock(mutex_);
                                 if (--open_[address] == 0)
                                   open_.erase(address);
                               });
}

namespace
{
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// Time to finish a close: the client reads the answer before the connection
// goes, so unread bytes of its request do not reset it first.
const std::chrono::seconds kCloseTime(1);

bool isParseError(const beast::error_code& error)
{
  return error.category() == http::make_error_code(http::error::bad_method).category() &&
         error != http::error::end_of_stream && error != http::error::partial_message;
}

// The connection's bytes after an answer's head, for either stream.
template <class Stream>
class OpenStreamOf : public OpenStream
{
public:
  explicit OpenStreamOf(Stream stream) : stream_(std::move(stream)) {}
  net::any_io_executor executor() override { return stream_.get_executor(); }
  void write(net::const_buffer bytes, std::chrono::seconds limit, Done done) override
  {
    beast::get_lowest_layer(stream_).expires_after(limit);
    net::async_write(stream_, bytes, [done](beast::error_code error, std::size_t) { done(error); });
  }
  void read(net::mutable_buffer into, Done done) override
  {
    beast::get_lowest_layer(stream_).expires_never();
    stream_.async_read_some(into, [done](beast::error_code error, std::size_t) { done(error); });
  }
  void close() override { beast::get_lowest_layer(stream_).close(); }

private:
  Stream stream_;
};

// The one session for both streams: only how a connection is closed differs.
template <class Stream>
class HttpSessionOf : public HttpSession
{
public:
  HttpSessionOf(Stream stream, beast::flat_buffer read, std::shared_ptr<void> place, RequestHandler& handler);
  void start() { readHeader(); }
  void reply(Response answer) override;
  std::unique_ptr<OpenStream> takeStream() override;

private:
  static constexpr bool kTls = std::is_same<Stream, TlsStream>::value;
  std::shared_ptr<HttpSessionOf> self() { return std::static_pointer_cast<HttpSessionOf>(shared_from_this()); }
  void readHeader();
  void onHeader(beast::error_code error);
  void onBody(beast::error_code error);
  void write(Response answer);
  void onWrite(beast::error_code error);
  void refuseMalformed(beast::error_code error);
  void close();
  void drain();

  Stream stream_;
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

template <class Stream>
HttpSessionOf<Stream>::HttpSessionOf(Stream stream, beast::flat_buffer read, std::shared_ptr<void> place,
                                     RequestHandler& handler)
    : HttpSession(std::move(place), sourceOf(beast::get_lowest_layer(stream).socket(), kTls)),
      stream_(std::move(stream)),
      handler_(handler),
      buffer_(std::move(read))
{
}

template <class Stream>
void HttpSessionOf<Stream>::readHeader()
{
  parser_.emplace();
  parser_->header_limit(kHeaderLimit);
  // The length is judged with the header (413 after the token), not by the
  // parser. (Beast 1.74 takes boost::none here for a limit of nothing.)
  parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
  beast::get_lowest_layer(stream_).expires_after(kHeaderTime);
  http::async_read_header(stream_, buffer_, *parser_,
                          [self = self()](beast::error_code error, std::size_t) { self->onHeader(error); });
}

template <class Stream>
void HttpSessionOf<Stream>::onHeader(beast::error_code error)
{
  if (error)
  {
    // Silence, a time-out or a connection gone: nothing to answer.
    if (isParseError(error))
      refuseMalformed(error);
    return;
  }
  const Request& head = parser_->get();
  version_ = head.version();
  keepAlive_ = head.keep_alive();
  head_ = head.method() == http::verb::head;
  Response answer;
  if (handler_.refuse(source(), head, answer))
  {
    // Its body stays unread, so the connection cannot carry another request.
    if (!parser_->is_done())
      keepAlive_ = false;
    write(std::move(answer));
    return;
  }
  if (parser_->is_done())
  {
    handler_.handle(self(), parser_->get());
    return;
  }
  parser_->body_limit(bodyLimit(std::string(head.target())));
  beast::get_lowest_layer(stream_).expires_after(kHeaderTime);
  http::async_read(stream_, buffer_, *parser_,
                   [self = self()](beast::error_code error, std::size_t) { self->onBody(error); });
}

template <class Stream>
void HttpSessionOf<Stream>::onBody(beast::error_code error)
{
  if (error == http::error::body_limit)
  {
    keepAlive_ = false;
    Response answer{http::status::payload_too_large, version_};
    answer.body() = "A request body may hold at most " +
                    std::to_string(bodyLimit(std::string(parser_->get().target()))) + " bytes.\n";
    write(std::move(answer));
  }
  else if (!error)
    handler_.handle(self(), parser_->get());
}

// What the parser refused, answered as plainly as the header allows, and the
// connection closed: what follows in it cannot be trusted to be a request.
template <class Stream>
void HttpSessionOf<Stream>::refuseMalformed(beast::error_code error)
{
  const Request& read = parser_->get();
  int status = 400;
  if (error == http::error::header_limit && read.target().empty())
    status = 414;  // the request line alone is over the limit
  // The parser stops at the field it refused, and refuses a second length too.
  else if (error == http::error::bad_content_length && read.count(http::field::content_length) == 0 &&
           numericLengthField(beast::buffers_to_string(buffer_.data())))
    status = 413;
  Response answer;
  answer.result(status);
  answer.body() = status == 413   ? "A request body may hold at most " + std::to_string(kMaxBody) + " bytes.\n"
                  : status == 414 ? std::string("The request line is too long.\n")
                                  : std::string("Malformed request.\n");
  version_ = 11;
  keepAlive_ = false;
  head_ = false;
  write(std::move(answer));
}

template <class Stream>
void HttpSessionOf<Stream>::reply(Response answer)
{
  auto moved = std::make_shared<Response>(std::move(answer));
  net::post(stream_.get_executor(), [self = self(), moved] { self->write(std::move(*moved)); });
}

template <class Stream>
void HttpSessionOf<Stream>::write(Response answer)
{
  const bool keep = keepAlive_ && answer.keep_alive();
  answer.version(version_);
  answer.keep_alive(keep);
  if (answer.find(http::field::content_type) == answer.end())
    answer.set(http::field::content_type, "text/plain; charset=utf-8");
  answer.set("X-Content-Type-Options", "nosniff");
  answer.set("X-Frame-Options", "DENY");
  answer.set("Referrer-Policy", "no-referrer");
  answer.prepare_payload();
  if (head_)
    answer.body().clear();  // the length of what GET would give, and no body
  written_ = std::make_shared<Response>(std::move(answer));
  // A client that does not read its answer does not hold its place for long.
  beast::get_lowest_layer(stream_).expires_after(kHeaderTime);
  http::async_write(stream_, *written_,
                    [self = self()](beast::error_code error, std::size_t) { self->onWrite(error); });
}

template <class Stream>
void HttpSessionOf<Stream>::onWrite(beast::error_code error)
{
  if (error)
    return;
  if (written_->keep_alive())
  {
    written_.reset();
    readHeader();
    return;
  }
  beast::get_lowest_layer(stream_).expires_after(kCloseTime);
  close();
}

// Plain: the sending side shut, then what the client still sends read and
// dropped until it closes its side too, for at most kCloseTime.
template <>
void HttpSessionOf<beast::tcp_stream>::close()
{
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  drain();
}

// TLS: the close announced, and the client's awaited, for at most kCloseTime.
template <>
void HttpSessionOf<TlsStream>::close()
{
  stream_.async_shutdown([self = self()](beast::error_code) { beast::get_lowest_layer(self->stream_).close(); });
}

template <class Stream>
void HttpSessionOf<Stream>::drain()
{
  stream_.async_read_some(net::buffer(drain_),
                          [self = self()](beast::error_code error, std::size_t)
                          {
                            if (!error)
                              self->drain();
                          });
}

template <class Stream>
std::unique_ptr<OpenStream> HttpSessionOf<Stream>::takeStream()
{
  return std::unique_ptr<OpenStream>(new OpenStreamOf<Stream>(std::move(stream_)));
}
}  // namespace

RequestSource sourceOf(const tcp::socket& socket, bool tls)
{
  beast::error_code ignored;
  const tcp::endpoint local = socket.local_endpoint(ignored);
  const std::string address = local.address().to_string();
  RequestSource source;
  source.peer = socket.remote_endpoint(ignored).address().to_string();
  source.local = (local.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(local.port());
  source.tls = tls;
  return source;
}

void servePlain(beast::tcp_stream stream, beast::flat_buffer read, std::shared_ptr<void> place, RequestHandler& handler)
{
  std::make_shared<HttpSessionOf<beast::tcp_stream>>(std::move(stream), std::move(read), std::move(place), handler)
      ->start();
}

void serveTls(TlsStream stream, beast::flat_buffer read, std::shared_ptr<void> place, RequestHandler& handler)
{
  std::make_shared<HttpSessionOf<TlsStream>>(std::move(stream), std::move(read), std::move(place), handler)->start();
}
}  // namespace nao_kinora_console
