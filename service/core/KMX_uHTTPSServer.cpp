#include "KMX_uHTTPSServer.h"

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "KMX_uAcmeTlsAlpn.h"
#include "KMX_uSocketBio.h"
#include "KMX_uTLSContext.h"
#include "KMX_uWorkerPool.h"
#include "ucHeap.h"
#include "ucOpenSSLHandles.h"
#include "ucOpenFiles.h"
#include "ucResourceLimits.h"

namespace kelvane {
namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

// After the response, the TLS close exchange gets this long at most.
constexpr std::chrono::milliseconds CloseTimeOut{2000};
// Pause before accepting again when the process has run out of descriptors.
constexpr std::chrono::milliseconds AcceptRetryDelay{50};
// Descriptors kept free for log files, the openssl runs and the like.
constexpr std::size_t ReservedDescriptors = 64;
// Once this many connections were open at one time, the heap's free pages go
// back to the system when the last connection has closed: each connection
// held TLS buffers while it was busy, which the C library would otherwise keep.
constexpr std::size_t HeapReturnConnections = 64;

constexpr char ContinueResponse[] = "HTTP/1.1 100 Continue\r\n\r\n";

// A connection's life: the states up to ReadingRequest count as idle and may
// be dropped to make room for a new connection.
enum class TSessionState { Handshake, ReadingRequest, Handling, Writing, Closing };

std::string ReasonPhrase(int statusCode) {
  const beast::string_view reason = http::obsolete_reason(static_cast<http::status>(statusCode));
  if (reason.empty() || reason.front() == '<') return "Unknown";
  return std::string(reason);
}

// A header value must not end the header early.
std::string WithoutLineBreaks(std::string_view text) {
  std::string clean(text);
  std::replace_if(clean.begin(), clean.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return clean;
}

// The whole response in one buffer, so it leaves in as few TLS records as possible.
std::string FormatResponse(int statusCode, std::string_view contentType, std::string_view body, bool headOnly,
                           std::string_view extraHeaders = {}) {
  const bool html = contentType.starts_with("text/html");
  std::string text;
  text.reserve(160 + contentType.size() + extraHeaders.size() + (headOnly ? 0 : body.size()));
  text += "HTTP/1.1 ";
  text += std::to_string(statusCode);
  text += ' ';
  text += ReasonPhrase(statusCode);
  text += "\r\nContent-Type: ";
  text += WithoutLineBreaks(contentType);
  text += "\r\nContent-Length: ";
  text += std::to_string(body.size());
  text += "\r\nConnection: close\r\n";
  text += extraHeaders;
  if (html) text += HTMLSecurityHeaders;
  text += "\r\n";
  if (!headOnly) text += body;
  return text;
}

std::string PlainTextResponse(int statusCode, std::string_view message, std::string_view extraHeaders = {}) {
  return FormatResponse(statusCode, "text/plain; charset=ISO-8859-1", message, false, extraHeaders);
}

std::string HeaderLines(const std::vector<std::pair<std::string, std::string>>& headers) {
  std::string text;
  for (const auto& [name, value] : headers) {
    text += WithoutLineBreaks(name);
    text += ": ";
    text += WithoutLineBreaks(value);
    text += "\r\n";
  }
  return text;
}

// What a handler's exception shows the client; the detail goes to the error
// sink, since it may name files and folders of the installation.
constexpr char InternalErrorText[] = "Internal server error.";

// Transfer codings the reader understands: only "chunked", once and last
// (RFC 9112 6.1). Anything else must not be read by its Content-Length.
// Answers 0 when the field is fine, else the status to refuse with.
int CheckTransferEncoding(beast::string_view field) {
  std::string_view rest(field.data(), field.size());
  int chunked = 0;
  bool lastIsChunked = false;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    std::string_view coding = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    while (!coding.empty() && (coding.front() == ' ' || coding.front() == '\t')) coding.remove_prefix(1);
    while (!coding.empty() && (coding.back() == ' ' || coding.back() == '\t')) coding.remove_suffix(1);
    if (coding.empty()) continue;
    lastIsChunked = beast::iequals(beast::string_view(coding.data(), coding.size()), "chunked");
    if (!lastIsChunked) return 501;
    ++chunked;
  }
  return chunked == 1 && lastIsChunked ? 0 : 400;
}

// Accept errors are the system's own numbers; compared by value alone.
bool OutOfResources(const error_code& ec) {
  const int value = ec.value();
  return value == EMFILE || value == ENFILE || value == ENOBUFS || value == ENOMEM;
}

bool SameCategory(const error_code& ec, http::error sample) {
  return ec.category() == http::make_error_code(sample).category();
}

class TSession;
// The session whose handler (or AfterSent work) runs on this thread.
thread_local const TSession* tCurrentSession = nullptr;

// What every connection of one Start() works with.
struct TConnectionConfig {
  THTTPSServerSettings Settings;
  std::shared_ptr<ssl::context> TLS;
  std::size_t MaxConnections = 0;
  // Sockets alive at most, counting connections told to close whose socket
  // is not closed yet; past it a newcomer is turned away at once rather than
  // running the process out of descriptors.
  std::size_t MaxSockets = 0;
};

// The listening socket of one Start(), one per I/O thread: each thread
// accepts on a duplicate of the socket and runs what it accepted itself, so a
// connection is never handed from thread to thread. Its context's single
// thread runs the accept loop, so the acceptor needs no further guard.
struct TListener {
  TListener(net::io_context& io, std::shared_ptr<const TConnectionConfig> config)
      : Executor(io.get_executor()), Acceptor(Executor), RetryTimer(Executor), Config(std::move(config)) {}

  net::io_context::executor_type Executor;
  tcp::acceptor Acceptor;
  net::steady_timer RetryTimer;
  const std::shared_ptr<const TConnectionConfig> Config;
};

// One I/O context per thread: a connection's handshake, reads, writes and
// timers all run on the thread that owns its context, with no locks and no
// hand-over between threads.
struct TIOThread {
  net::io_context Context{1};
  std::optional<net::executor_work_guard<net::io_context::executor_type>> Guard;
  std::thread Thread;
};

// Everything the server's connections share.
struct TServerCore {
  explicit TServerCore(THTTPHandler handler) : Handler(std::move(handler)) {}

  void EnsureIOThreads();
  void Accept(const std::shared_ptr<TListener>& listener);
  void OnAccepted(const std::shared_ptr<TListener>& listener, tcp::socket socket);
  // Tells the oldest connection that is still in its handshake or waiting for
  // its request to close, and hands it back (to be released after the
  // registry lock). Call with the registry locked.
  std::shared_ptr<TSession> EvictOldestIdleLocked();
  void Unregister(TSession& session);

  const THTTPHandler Handler;
  // Set before Start(); see THTTPSServer::SetQuickHandler().
  THTTPQuickHandler QuickHandler;
  TWorkerPool Workers;

  // Start and Stop run one at a time.
  std::mutex ControlMutex;
  std::vector<std::shared_ptr<TListener>> Listeners;
  std::atomic<bool> Listening{false};
  std::atomic<std::uint16_t> Port{0};

  // Every live connection, oldest first. Declared before the I/O threads:
  // connections that die with their context still find it.
  struct TEntry {
    const TSession* Session;
    std::weak_ptr<TSession> Weak;
  };
  std::mutex RegistryMutex;
  std::condition_variable RegistryChanged;
  std::list<TEntry> Registry;
  // Connections not yet told to close; what the connection cap counts.
  std::size_t OpenConnections = 0;
  // Most live connections since the heap was last handed back.
  std::size_t PeakConnections = 0;

  std::vector<std::unique_ptr<TIOThread>> IOThreads;
};

// Bytes one read takes from OpenSSL at most; one buffer per I/O thread, so an
// idle connection holds no read buffer of its own.
constexpr std::size_t ReadChunk = 16 * 1024;

char* ThreadReadBuffer() {
  thread_local const std::unique_ptr<char[]> buffer(new char[ReadChunk]);
  return buffer.get();
}

// OpenSSL reads and writes the socket itself: no second copy of every record
// in buffers of the stream's own, and with SSL_MODE_RELEASE_BUFFERS an idle
// connection keeps little more than its keys. When OpenSSL would block, the
// connection waits for the socket to become readable or writable and runs the
// same step again.
class TSession : public std::enable_shared_from_this<TSession> {
 public:
  TSession(TServerCore& server, std::shared_ptr<const TConnectionConfig> config, tcp::socket socket)
      : FServer(server),
        FConfig(std::move(config)),
        FSocket(std::move(socket)),
        FDeadline(FSocket.get_executor()),
        FHold(FSocket.get_executor()),
        FEndOfLife(Clock::now() + FConfig->Settings.SessionTimeOut) {}

  ~TSession() { FServer.Unregister(*this); }

  TSessionState State() const { return FState.load(); }

  // Where the registry keeps this connection, and whether it still counts
  // against the cap. Guarded by the registry mutex.
  std::list<TServerCore::TEntry>::iterator RegistryEntry;
  bool Counted = true;

  void Begin() {
    net::dispatch(FSocket.get_executor(), [self = shared_from_this()] { self->Open(); });
  }

  // Any thread: ends the connection as soon as its I/O thread gets to it.
  void Close() {
    FClosed = true;
    net::post(FSocket.get_executor(), [self = shared_from_this()] { self->CloseSocket(); });
  }

  // On a connection thread: the handler's part of a request the I/O thread
  // did not answer itself.
  void RunHandler(const THTTPRequest& request) {
    if (FClosed) return;
    tCurrentSession = this;
    THTTPResponse response;
    bool failed = false;
    std::string out = Answer(request, response, FServer.Handler, failed);
    // Shared with the I/O thread, which may still be inside set_value() when
    // this thread wakes up.
    std::shared_ptr<std::promise<void>> written;
    std::future<void> done;
    if (response.AfterSent) {
      written = std::make_shared<std::promise<void>>();
      done = written->get_future();
    }
    net::post(FSocket.get_executor(), [self = shared_from_this(), out = std::move(out), written,
                                        holdUntil = response.HoldUntil]() mutable {
      self->FOut = std::move(out);
      self->FWritten = std::move(written);
      self->FHoldUntil = holdUntil;
      self->WriteWhenDue();
    });
    if (response.AfterSent) {
      done.wait();
      try {
        response.AfterSent();
      } catch (...) {
        // The answer is gone already; there is no one left to tell.
      }
    }
    tCurrentSession = nullptr;
  }

 private:
  using TStep = void (TSession::*)();

  bool SocketOpen() const { return FSocket.is_open(); }

  // Also the end of every failed step: once the socket is closed, OpenSSL is
  // never asked to read or write again (its descriptor number may already
  // belong to another connection).
  void CloseSocket() {
    error_code ignored;
    FDeadline.cancel();
    FHold.cancel();
    FSocket.close(ignored);
    if (FWritten) std::exchange(FWritten, nullptr)->set_value();
  }

  // One timer per phase rather than one per read or write: when it fires the
  // socket is closed, and whatever wait is pending ends with an error.
  void SetDeadline(Clock::time_point deadline) {
    FDeadline.expires_at(deadline);
    FDeadline.async_wait([self = shared_from_this()](const error_code& ec) {
      if (!ec) self->CloseSocket();
    });
  }

  Clock::time_point ReadDeadline() const {
    return std::min(FEndOfLife, FAcceptedAt + FConfig->Settings.RequestTimeOut);
  }

  // OpenSSL could not go on without the socket: wait until it can, then run
  // the step again.
  void WaitFor(int sslError, TStep step) {
    const auto type = sslError == SSL_ERROR_WANT_WRITE ? tcp::socket::wait_write : tcp::socket::wait_read;
    FSocket.async_wait(type, [self = shared_from_this(), step](const error_code& ec) {
      if (ec || !self->SocketOpen() || self->FClosed) return self->CloseSocket();
      (self.get()->*step)();
    });
  }

  // The SSL_get_error() of a failed call (each call starts with the thread's
  // error queue empty, as SSL_get_error() needs), with the queue left empty
  // for the next connection on this thread.
  int FailureOf(int result) {
    const int error = ::SSL_get_error(FSsl.get(), result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ::ERR_clear_error();
    return error;
  }

  static bool MustWait(int sslError) { return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE; }

  void Open() {
    error_code ec;
    FSocket.set_option(tcp::no_delay(true), ec);
    const tcp::endpoint peer = FSocket.remote_endpoint(ec);
    if (!ec) FPeer = peer.address().to_string();
    if (FClosed) return CloseSocket();
    FSocket.non_blocking(true, ec);
    FSsl.reset(::SSL_new(FConfig->TLS->native_handle()));
    BIO* bio = FSsl ? NewSocketBio(FSocket.native_handle()) : nullptr;
    if (ec || bio == nullptr) {
      ::ERR_clear_error();
      return CloseSocket();
    }
    ::SSL_set_bio(FSsl.get(), bio, bio);
    ::SSL_set_accept_state(FSsl.get());
    SetDeadline(ReadDeadline());
    Handshake();
  }

  void Handshake() {
    ::ERR_clear_error();
    const int result = ::SSL_do_handshake(FSsl.get());
    if (result != 1) {
      const int error = FailureOf(result);
      return MustWait(error) ? WaitFor(error, &TSession::Handshake) : CloseSocket();
    }
    // A tls-alpn-01 validation ends with its handshake.
    if (FClosed || IsAcmeTlsAlpnConnection(FSsl.get())) return CloseSocket();
    FState = TSessionState::ReadingRequest;
    FParser.emplace();
    FParser->header_limit(static_cast<std::uint32_t>(std::min<std::size_t>(FConfig->Settings.HeaderLimit, UINT32_MAX)));
    FParser->body_limit(FConfig->Settings.BodyLimit);
    ReadRequest();
  }

  void ReadRequest() {
    char* buffer = ThreadReadBuffer();
    for (;;) {
      ::ERR_clear_error();
      const int result = ::SSL_read(FSsl.get(), buffer, static_cast<int>(ReadChunk));
      if (result <= 0) {
        const int error = FailureOf(result);
        if (MustWait(error)) return WaitFor(error, &TSession::ReadRequest);
        // The client closed or broke the connection: there is no one to answer.
        return OnReadError(FPending.empty() && !FParser->got_some() ? http::error::end_of_stream
                                                                    : http::error::partial_message);
      }
      FPending.append(buffer, static_cast<std::size_t>(result));
      if (!ParsePending()) return;
    }
  }

  // Hands what has arrived to the parser. False when reading stops: the
  // request is complete or was answered, or the go-ahead for its body is
  // being sent. What the parser cannot take yet (an incomplete header) stays.
  bool ParsePending() {
    std::size_t used = 0;
    while (used < FPending.size()) {
      error_code ec;
      const std::size_t taken = FParser->put(net::buffer(FPending.data() + used, FPending.size() - used), ec);
      used += taken;
      if (ec == http::error::need_more) break;
      if (ec) {
        OnReadError(ec);
        return false;
      }
      if (!FHeaderChecked && FParser->is_header_done()) {
        FHeaderChecked = true;
        const TAfterHeader next = CheckHeader();
        if (next == TAfterHeader::Answered) return false;
        if (next == TAfterHeader::SendContinue) {
          FPending.erase(0, used);
          SendContinue();
          return false;
        }
      }
      if (FParser->is_done()) {
        std::string().swap(FPending);
        Dispatch();
        return false;
      }
      if (taken == 0) break;
    }
    FPending.erase(0, used);
    if (FPending.empty()) std::string().swap(FPending);
    return true;
  }

  enum class TAfterHeader { Read, Answered, SendContinue };

  TAfterHeader CheckHeader() {
    const auto& fields = FParser->get();
    const http::verb method = fields.method();
    if (method != http::verb::get && method != http::verb::head && method != http::verb::post) {
      Respond(PlainTextResponse(405, "Method not allowed.", "Allow: GET, HEAD, POST\r\n"));
      return TAfterHeader::Answered;
    }
    if (fields.find(http::field::transfer_encoding) != fields.end()) {
      const int status = CheckTransferEncoding(fields[http::field::transfer_encoding]);
      if (status != 0) {
        Respond(status == 501 ? PlainTextResponse(501, "Transfer coding not implemented.")
                              : PlainTextResponse(400, "Bad request."));
        return TAfterHeader::Answered;
      }
    }
    const boost::optional<std::uint64_t> length = FParser->content_length();
    if (length && *length > FConfig->Settings.BodyLimit) {
      OnReadError(http::error::body_limit);
      return TAfterHeader::Answered;
    }
    // A client that asks before sending its body gets the go-ahead; a body
    // over the limit has been refused above already.
    if (!FParser->is_done() && beast::iequals(fields[http::field::expect], "100-continue")) {
      return TAfterHeader::SendContinue;
    }
    return TAfterHeader::Read;
  }

  void SendContinue() {
    FOut.assign(ContinueResponse, sizeof ContinueResponse - 1);
    FAfterWrite = &TSession::AfterContinue;
    FOutSent = 0;
    WriteOut();
  }

  void AfterContinue() {
    std::string().swap(FOut);
    if (ParsePending()) ReadRequest();
  }

  void OnReadError(const error_code& ec) {
    std::string().swap(FPending);
    if (FClosed) return CloseSocket();
    if (ec == http::error::body_limit) return Respond(PlainTextResponse(413, "Request body too large."));
    if (ec == http::error::header_limit) return Respond(PlainTextResponse(431, "Request header too large."));
    // A client that went away or timed out gets no answer; one that sent
    // something that is not HTTP is told so.
    if (SameCategory(ec, http::error::bad_target) && ec != http::error::end_of_stream &&
        ec != http::error::partial_message && ec != http::error::need_more) {
      return Respond(PlainTextResponse(400, "Bad request."));
    }
    CloseSocket();
  }

  // The request is complete. What the quick handler answers leaves from this
  // thread at once; the rest goes to a connection thread.
  void Dispatch() {
    FState = TSessionState::Handling;
    FDeadline.cancel();
    THTTPRequest request;
    try {
      request = BuildRequest();
    } catch (const std::exception& e) {
      ReportError(e.what());
      FParser.reset();
      return Respond(FormatResponse(500, "text/plain; charset=ISO-8859-1", InternalErrorText, false));
    }
    FParser.reset();
    if (FServer.QuickHandler) {
      THTTPResponse response;
      bool answered = false;
      bool failed = false;
      std::string out = Answer(
          request, response, [&](const THTTPRequest& r, THTTPResponse& a) { answered = FServer.QuickHandler(r, a); },
          failed);
      if (answered || failed) {
        FOut = std::move(out);
        FHoldUntil = response.HoldUntil;
        return WriteWhenDue();
      }
    }
    FServer.Workers.Post([self = shared_from_this(), request = std::move(request)] { self->RunHandler(request); });
  }

  THTTPRequest BuildRequest() {
    http::request<http::string_body>& message = FParser->get();
    THTTPRequest request;
    switch (message.method()) {
      case http::verb::head: request.Method = THTTPMethod::Head; break;
      case http::verb::post: request.Method = THTTPMethod::Post; break;
      default: request.Method = THTTPMethod::Get; break;
    }
    const beast::string_view target = message.target();
    SplitRequestTarget(std::string_view(target.data(), target.size()), request.Document, request.Query);
    const beast::string_view contentType = message[http::field::content_type];
    if (IsURLEncodedForm(std::string_view(contentType.data(), contentType.size()))) {
      ParseURLEncodedFields(message.body(), request.Fields);
    }
    ParseURLEncodedFields(request.Query, request.Fields);
    request.PeerAddress = FPeer;
    const auto copy = [](beast::string_view value) { return std::string(value.data(), value.size()); };
    request.Host = copy(message[http::field::host]);
    request.Origin = copy(message[http::field::origin]);
    request.SecFetchSite = copy(message["Sec-Fetch-Site"]);
    return request;
  }

  // Runs a handler and formats its answer. An exception that leaves it is
  // answered 500 with a generic text; its message goes to the error sink.
  template <class THandlerCall>
  std::string Answer(const THTTPRequest& request, THTTPResponse& response, const THandlerCall& handler,
                     bool& failed) {
    const bool headOnly = request.Method == THTTPMethod::Head;
    const char* failure = nullptr;
    failed = true;
    try {
      handler(request, response);
      failed = false;
      return FormatResponse(response.StatusCode, response.ContentType, response.Body, headOnly,
                            HeaderLines(response.Headers));
    } catch (const std::exception& e) {
      ReportError(e.what());
    } catch (...) {
      failure = "Unknown error.";
    }
    if (failure) ReportError(failure);
    response.HoldUntil = {};
    return FormatResponse(500, "text/plain; charset=ISO-8859-1", InternalErrorText, headOnly);
  }

  void ReportError(std::string_view message) {
    if (!FConfig->Settings.ErrorSink) return;
    try {
      FConfig->Settings.ErrorSink(message);
    } catch (...) {
      // The sink's own failure must not cost the client its answer.
    }
  }

  // On the I/O thread: a held answer waits on a timer, not on a thread.
  void WriteWhenDue() {
    if (FClosed || !SocketOpen()) return CloseSocket();
    if (FHoldUntil <= Clock::now()) return Write();
    FHold.expires_at(std::min(FHoldUntil, FEndOfLife));
    FHold.async_wait([self = shared_from_this()](const error_code& ec) {
      if (ec || self->FClosed || !self->SocketOpen()) return self->CloseSocket();
      self->Write();
    });
  }

  void Respond(std::string text) {
    FOut = std::move(text);
    Write();
  }

  // A client that does not take its answer within the request time-out is
  // dropped: the deadline closes the socket under a pending write.
  void Write() {
    FState = TSessionState::Writing;
    const Clock::time_point deadline = std::min(FEndOfLife, Clock::now() + FConfig->Settings.RequestTimeOut);
    if (FClosed || deadline <= Clock::now()) return CloseSocket();
    SetDeadline(deadline);
    FAfterWrite = &TSession::OnWritten;
    FOutSent = 0;
    WriteOut();
  }

  void WriteOut() {
    while (FOutSent < FOut.size()) {
      const std::size_t chunk = std::min<std::size_t>(FOut.size() - FOutSent, 1 << 30);
      ::ERR_clear_error();
      const int result = ::SSL_write(FSsl.get(), FOut.data() + FOutSent, static_cast<int>(chunk));
      if (result <= 0) {
        const int error = FailureOf(result);
        return MustWait(error) ? WaitFor(error, &TSession::WriteOut) : CloseSocket();
      }
      FOutSent += static_cast<std::size_t>(result);
    }
    (this->*FAfterWrite)();
  }

  void OnWritten() {
    if (FWritten) std::exchange(FWritten, nullptr)->set_value();
    std::string().swap(FOut);
    if (FClosed) return CloseSocket();
    // Tell the client we are done and give it a moment to say the same; this
    // also lets a client still sending (a refused body) read its answer
    // before the connection goes.
    FState = TSessionState::Closing;
    SetDeadline(std::min(FEndOfLife, Clock::now() + std::min(CloseTimeOut, FConfig->Settings.RequestTimeOut)));
    Shutdown();
  }

  void Shutdown() {
    ::ERR_clear_error();
    if (!FShutdownSent) {
      const int result = ::SSL_shutdown(FSsl.get());
      if (result == 1) return CloseSocket();
      if (result < 0) {
        const int error = FailureOf(result);
        return MustWait(error) ? WaitFor(error, &TSession::Shutdown) : CloseSocket();
      }
      FShutdownSent = true;
    }
    // Whatever the client still sends is read and dropped until its own
    // close_notify or the end of the stream.
    char* buffer = ThreadReadBuffer();
    for (;;) {
      ::ERR_clear_error();
      const int result = ::SSL_read(FSsl.get(), buffer, static_cast<int>(ReadChunk));
      if (result > 0) continue;
      const int error = FailureOf(result);
      return MustWait(error) ? WaitFor(error, &TSession::Shutdown) : CloseSocket();
    }
  }

  TServerCore& FServer;
  const std::shared_ptr<const TConnectionConfig> FConfig;
  tcp::socket FSocket;
  TOpenSSLHandle<SSL, ::SSL_free> FSsl;
  net::steady_timer FDeadline;
  net::steady_timer FHold;
  Clock::time_point FHoldUntil{};
  std::optional<http::request_parser<http::string_body>> FParser;
  // Received bytes the parser has not taken yet; empty between requests.
  std::string FPending;
  bool FHeaderChecked = false;
  bool FShutdownSent = false;
  const Clock::time_point FAcceptedAt = Clock::now();
  const Clock::time_point FEndOfLife;
  std::string FPeer;
  std::string FOut;
  std::size_t FOutSent = 0;
  TStep FAfterWrite = nullptr;
  std::shared_ptr<std::promise<void>> FWritten;
  std::atomic<TSessionState> FState{TSessionState::Handshake};
  std::atomic<bool> FClosed{false};
};

void TServerCore::EnsureIOThreads() {
  if (!IOThreads.empty()) return;
  const unsigned count = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < count; ++i) {
    auto worker = std::make_unique<TIOThread>();
    worker->Guard.emplace(worker->Context.get_executor());
    worker->Thread = std::thread([context = &worker->Context] { context->run(); });
    IOThreads.push_back(std::move(worker));
  }
}

void TServerCore::Accept(const std::shared_ptr<TListener>& listener) {
  listener->Acceptor.async_accept([this, listener](const error_code& ec, tcp::socket socket) {
    if (!listener->Acceptor.is_open()) return;
    if (OutOfResources(ec)) {
      // Out of descriptors: free one from an idle connection and try again
      // shortly instead of spinning.
      std::shared_ptr<TSession> evicted;
      {
        std::lock_guard lock(RegistryMutex);
        evicted = EvictOldestIdleLocked();
      }
      evicted.reset();
      listener->RetryTimer.expires_after(AcceptRetryDelay);
      listener->RetryTimer.async_wait([this, listener](const error_code& error) {
        if (!error && listener->Acceptor.is_open()) Accept(listener);
      });
      return;
    }
    if (!ec) OnAccepted(listener, std::move(socket));
    Accept(listener);
  });
}

void TServerCore::OnAccepted(const std::shared_ptr<TListener>& listener, tcp::socket socket) {
  std::shared_ptr<TSession> session;
  std::vector<std::shared_ptr<TSession>> evicted;
  {
    std::lock_guard lock(RegistryMutex);
    while (OpenConnections >= listener->Config->MaxConnections) {
      // Busy connections are never dropped; with no idle one to drop, the
      // newcomer is turned away.
      std::shared_ptr<TSession> victim = EvictOldestIdleLocked();
      if (!victim) break;
      evicted.push_back(std::move(victim));
    }
    if (OpenConnections < listener->Config->MaxConnections && Registry.size() < listener->Config->MaxSockets) {
      session = std::make_shared<TSession>(*this, listener->Config, std::move(socket));
      session->RegistryEntry = Registry.insert(Registry.end(), TEntry{session.get(), session});
      ++OpenConnections;
      PeakConnections = std::max(PeakConnections, Registry.size());
    }
  }
  // Released outside the lock: a last reference ends in Unregister().
  evicted.clear();
  if (session) {
    session->Begin();
  } else {
    error_code ignored;
    socket.close(ignored);
  }
}

std::shared_ptr<TSession> TServerCore::EvictOldestIdleLocked() {
  // The registry lock keeps every listed session in being (its destructor
  // waits for the lock to take it off the list), so the checks read it through
  // the plain pointer. Only the one chosen is taken as a shared pointer, and
  // the caller lets go of it after the lock: a session whose last reference
  // ended here would wait for this very lock in its destructor.
  for (TEntry& entry : Registry) {
    if (!entry.Session->Counted) continue;
    const TSessionState state = entry.Session->State();
    if (state != TSessionState::Handshake && state != TSessionState::ReadingRequest) continue;
    std::shared_ptr<TSession> victim = entry.Weak.lock();
    if (!victim) continue;
    victim->Counted = false;
    --OpenConnections;
    victim->Close();
    return victim;
  }
  return nullptr;
}

void TServerCore::Unregister(TSession& session) {
  bool returnHeap = false;
  {
    std::lock_guard lock(RegistryMutex);
    if (session.Counted) --OpenConnections;
    Registry.erase(session.RegistryEntry);
    if (Registry.empty() && PeakConnections >= HeapReturnConnections) {
      PeakConnections = 0;
      returnHeap = true;
    }
  }
  RegistryChanged.notify_all();
  if (returnHeap) ReturnFreeHeapMemory();
}

}  // namespace

struct THTTPSServer::Impl : TServerCore {
  using TServerCore::TServerCore;
  std::function<void(SSL_CTX*)> ConfigureContext;
};

THTTPSServer::THTTPSServer(THTTPHandler handler) : FImpl(std::make_unique<Impl>(std::move(handler))) {}

THTTPSServer::~THTTPSServer() {
  Close();
  for (auto& worker : FImpl->IOThreads) {
    worker->Guard.reset();
    worker->Context.stop();
  }
  for (auto& worker : FImpl->IOThreads) worker->Thread.join();
}

bool THTTPSServer::Start(const THTTPSServerSettings& settings, const TTLSServerFiles& tls, std::string& error) {
  std::lock_guard control(FImpl->ControlMutex);
  error.clear();
  if (FImpl->Listening) {
    error = "The server is already listening.";
    return false;
  }
  std::shared_ptr<ssl::context> context;
  if (!LoadTLSContext(tls, context, error)) return false;
  if (FImpl->ConfigureContext) FImpl->ConfigureContext(context->native_handle());

  error_code ec;
  net::ip::address address = net::ip::address_v4::any();
  if (!settings.Address.empty()) {
    address = net::ip::make_address(settings.Address, ec);
    if (ec) {
      error = "'" + settings.Address + "' is not a valid IP address.";
      return false;
    }
  }

  FImpl->EnsureIOThreads();
  auto config = std::make_shared<TConnectionConfig>();
  config->Settings = settings;
  config->TLS = std::move(context);
  // Each connection takes one descriptor. Those already open (logs, the I/O
  // threads' own, the listening socket to come and its duplicate per further
  // I/O thread) are not free, and a few stay spare for log files and the
  // openssl runs.
  const std::size_t descriptors = RaiseOpenFileLimit();
  const std::size_t inUse = CountOpenFiles() + FImpl->IOThreads.size();
  const std::size_t spare = descriptors > inUse ? descriptors - inUse : 0;
  const std::size_t usable = spare > 2 * ReservedDescriptors ? spare - ReservedDescriptors : spare / 2;
  config->MaxConnections = std::max<std::size_t>(1, std::min(settings.MaxConnections, usable));
  // Connections told to close may use up half of the spare descriptors
  // until their sockets are closed.
  config->MaxSockets = std::max(config->MaxConnections, spare - (spare - std::min(spare, config->MaxConnections)) / 2);
  auto listener = std::make_shared<TListener>(FImpl->IOThreads.front()->Context, config);
  std::vector<std::shared_ptr<TListener>> listeners{listener};

  const tcp::endpoint endpoint(address, settings.Port);
  tcp::acceptor& acceptor = listener->Acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  const std::uint16_t port = acceptor.local_endpoint(ec).port();
  if (ec) {
    error = ec.message();
    return false;
  }
  // The other I/O threads accept on duplicates of the same socket; without
  // one, the threads that have one accept for all.
  for (std::size_t i = 1; i < FImpl->IOThreads.size(); ++i) {
    const int duplicate = ::fcntl(acceptor.native_handle(), F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) break;
    auto other = std::make_shared<TListener>(FImpl->IOThreads[i]->Context, config);
    other->Acceptor.assign(endpoint.protocol(), duplicate, ec);
    if (ec) {
      ::close(duplicate);
      break;
    }
    listeners.push_back(std::move(other));
  }
  FImpl->Workers.SetMaxThreads(settings.MaxHandlerThreads);
  FImpl->Listeners = listeners;
  FImpl->Port = port;
  FImpl->Listening = true;
  for (const std::shared_ptr<TListener>& each : listeners) {
    net::post(each->Executor, [impl = FImpl.get(), each] { impl->Accept(each); });
  }
  return true;
}

void THTTPSServer::Stop() {
  std::lock_guard control(FImpl->ControlMutex);
  if (!FImpl->Listening) return;
  const std::vector<std::shared_ptr<TListener>> listeners = std::exchange(FImpl->Listeners, {});
  FImpl->Listening = false;
  FImpl->Port = 0;

  for (const std::shared_ptr<TListener>& listener : listeners) {
    std::promise<void> closed;
    net::post(listener->Executor, [&closed, listener] {
      error_code ignored;
      listener->Acceptor.close(ignored);
      listener->RetryTimer.cancel();
      closed.set_value();
    });
    closed.get_future().wait();
  }

  const TSession* own = tCurrentSession;
  const auto othersGone = [&] {
    return std::none_of(FImpl->Registry.begin(), FImpl->Registry.end(),
                        [own](const TServerCore::TEntry& entry) { return entry.Session != own; });
  };
  std::vector<std::shared_ptr<TSession>> closing;
  {
    std::lock_guard lock(FImpl->RegistryMutex);
    for (TServerCore::TEntry& entry : FImpl->Registry) {
      if (entry.Session == own) continue;
      if (std::shared_ptr<TSession> session = entry.Weak.lock()) {
        if (session->Counted) {
          session->Counted = false;
          --FImpl->OpenConnections;
        }
        session->Close();
        closing.push_back(std::move(session));
      }
    }
  }
  // Released outside the lock: a last reference ends in Unregister().
  closing.clear();
  std::unique_lock lock(FImpl->RegistryMutex);
  FImpl->RegistryChanged.wait_for(lock, listeners.front()->Config->Settings.TerminateWaitTime, othersGone);
}

void THTTPSServer::Close() {
  Stop();
  // Handlers still running after Stop()'s wait must end before the objects
  // they use go away; one of them may have started the listener again.
  FImpl->Workers.Close();
  Stop();
}

bool THTTPSServer::Active() const { return FImpl->Listening; }

void THTTPSServer::SetQuickHandler(THTTPQuickHandler quick) { FImpl->QuickHandler = std::move(quick); }

void THTTPSServer::SetConfigureContext(std::function<void(SSL_CTX*)> configure) {
  FImpl->ConfigureContext = std::move(configure);
}

std::uint16_t THTTPSServer::LocalPort() const { return FImpl->Port; }

}  // namespace kelvane
