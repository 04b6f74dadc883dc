#include "nao_kinora_console/http/http_session.h"

#include "nao_kinora_console/http/request_rules.h"

#include <limits>

namespace nao_kinora_console
{
namespace
{
// Time to finish a close: the client reads the answer before the connection
// goes, so unread bytes of its request do not reset it first.
const std::chrono::seconds kCloseTime(1);

bool isParseError(const beast::error_code& error)
{
  return error.category() == http::make_error_code(http::error::bad_method).category() &&
         error != http::error::end_of_stream && error != http::error::partial_message;
}
}  // namespace

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

HttpSession::HttpSession(tcp::socket socket, std::shared_ptr<void> place, RequestHandler& handler)
    : stream_(std::move(socket)), place_(std::move(place)), handler_(handler)
{
}

void HttpSession::readHeader()
{
  parser_.emplace();
  parser_->header_limit(kHeaderLimit);
  // The length is judged with the header (413 after the token), not by the
  // parser. (Beast 1.74 takes boost::none here for a limit of nothing.)
  parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
  stream_.expires_after(kHeaderTime);
  http::async_read_header(stream_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code error, std::size_t) { self->onHeader(error); });
}

void HttpSession::onHeader(beast::error_code error)
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
  if (handler_.refuse(head, answer))
  {
    // Its body stays unread, so the connection cannot carry another request.
    if (!parser_->is_done())
      keepAlive_ = false;
    write(std::move(answer));
    return;
  }
  if (parser_->is_done())
  {
    handler_.handle(shared_from_this(), parser_->get());
    return;
  }
  parser_->body_limit(bodyLimit(std::string(head.target())));
  stream_.expires_after(kHeaderTime);
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code error, std::size_t) { self->onBody(error); });
}

void HttpSession::onBody(beast::error_code error)
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
    handler_.handle(shared_from_this(), parser_->get());
}

// What the parser refused, answered as plainly as the header allows, and the
// connection closed: what follows in it cannot be trusted to be a request.
void HttpSession::refuseMalformed(beast::error_code error)
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

void HttpSession::reply(Response answer)
{
  auto self = shared_from_this();
  auto moved = std::make_shared<Response>(std::move(answer));
  net::post(stream_.get_executor(), [self, moved] { self->write(std::move(*moved)); });
}

void HttpSession::write(Response answer)
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
  stream_.expires_after(kHeaderTime);
  http::async_write(stream_, *written_,
                    [self = shared_from_this()](beast::error_code error, std::size_t) { self->onWrite(error); });
}

void HttpSession::onWrite(beast::error_code error)
{
  if (error)
    return;
  if (written_->keep_alive())
  {
    written_.reset();
    readHeader();
    return;
  }
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.expires_after(kCloseTime);
  finish();
}

// Reads and drops what the client still sends until it closes its side too,
// for at most kCloseTime.
void HttpSession::finish()
{
  stream_.async_read_some(net::buffer(drain_),
                          [self = shared_from_this()](beast::error_code error, std::size_t)
                          {
                            if (!error)
                              self->finish();
                          });
}
}  // namespace nao_kinora_console
