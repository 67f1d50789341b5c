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

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "KMX_uAcmeTlsAlpn.h"
#include "KMX_uTLSContext.h"
#include "KMX_uWorkerPool.h"
#include "ucHeap.h"
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
// holds some 70 kB of TLS buffers, which the C library would otherwise keep.
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

// The listening socket of one Start(). Its context's single thread runs the
// accept loop, so the acceptor needs no further guard.
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
  TWorkerPool Workers;

  // Start and Stop run one at a time.
  std::mutex ControlMutex;
  std::shared_ptr<TListener> Listener;
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
  std::atomic<std::size_t> NextIOThread{0};
};

class TSession : public std::enable_shared_from_this<TSession> {
 public:
  TSession(TServerCore& server, std::shared_ptr<const TConnectionConfig> config, tcp::socket socket)
      : FServer(server),
        FConfig(std::move(config)),
        FStream(std::move(socket), *FConfig->TLS),
        FDeadline(FStream.get_executor()),
        FHold(FStream.get_executor()),
        FBuffer(FConfig->Settings.HeaderLimit + FConfig->Settings.BodyLimit + 16 * 1024),
        FEndOfLife(Clock::now() + FConfig->Settings.SessionTimeOut) {}

  ~TSession() { FServer.Unregister(*this); }

  TSessionState State() const { return FState.load(); }

  // Where the registry keeps this connection, and whether it still counts
  // against the cap. Guarded by the registry mutex.
  std::list<TServerCore::TEntry>::iterator RegistryEntry;
  bool Counted = true;

  void Begin() {
    net::dispatch(FStream.get_executor(), [self = shared_from_this()] { self->Handshake(); });
  }

  // Any thread: ends the connection as soon as its I/O thread gets to it.
  void Close() {
    FClosed = true;
    net::post(FStream.get_executor(), [self = shared_from_this()] { self->CloseSocket(); });
  }

 private:
  tcp::socket& Socket() { return FStream.next_layer(); }

  void CloseSocket() {
    error_code ignored;
    FDeadline.cancel();
    FHold.cancel();
    Socket().close(ignored);
  }

  // One timer per phase rather than one per read or write: when it fires the
  // socket is closed, and whatever operation is pending ends with an error.
  void SetDeadline(Clock::time_point deadline) {
    FDeadline.expires_at(deadline);
    FDeadline.async_wait([self = shared_from_this()](const error_code& ec) {
      if (!ec) self->CloseSocket();
    });
  }

  Clock::time_point ReadDeadline() const {
    return std::min(FEndOfLife, FAcceptedAt + FConfig->Settings.RequestTimeOut);
  }

  void Handshake() {
    error_code ec;
    Socket().set_option(tcp::no_delay(true), ec);
    const tcp::endpoint peer = Socket().remote_endpoint(ec);
    if (!ec) FPeer = peer.address().to_string();
    if (FClosed) return CloseSocket();
    SetDeadline(ReadDeadline());
    FStream.async_handshake(ssl::stream_base::server,
                            [self = shared_from_this()](const error_code& error) { self->OnHandshake(error); });
  }

  void OnHandshake(const error_code& ec) {
    // A tls-alpn-01 validation ends with its handshake.
    if (ec || FClosed || IsAcmeTlsAlpnConnection(FStream.native_handle())) return CloseSocket();
    FState = TSessionState::ReadingRequest;
    FParser.emplace();
    FParser->header_limit(static_cast<std::uint32_t>(std::min<std::size_t>(FConfig->Settings.HeaderLimit, UINT32_MAX)));
    FParser->body_limit(FConfig->Settings.BodyLimit);
    http::async_read_header(FStream, FBuffer, *FParser,
                            [self = shared_from_this()](const error_code& error, std::size_t) { self->OnHeader(error); });
  }

  void OnHeader(const error_code& ec) {
    if (ec) return OnReadError(ec);
    const http::verb method = FParser->get().method();
    if (method != http::verb::get && method != http::verb::head && method != http::verb::post) {
      return Respond(PlainTextResponse(405, "Method not allowed.", "Allow: GET, HEAD, POST\r\n"));
    }
    const auto& fields = FParser->get();
    if (fields.find(http::field::transfer_encoding) != fields.end()) {
      const int status = CheckTransferEncoding(fields[http::field::transfer_encoding]);
      if (status == 501) return Respond(PlainTextResponse(501, "Transfer coding not implemented."));
      if (status != 0) return Respond(PlainTextResponse(400, "Bad request."));
    }
    const boost::optional<std::uint64_t> length = FParser->content_length();
    if (length && *length > FConfig->Settings.BodyLimit) return OnReadError(http::error::body_limit);
    if (FParser->is_done()) return Dispatch();
    // A client that asks before sending its body gets the go-ahead; a body
    // over the limit has been refused above already.
    const beast::string_view expect = FParser->get()[http::field::expect];
    if (beast::iequals(expect, "100-continue")) {
      net::async_write(FStream, net::buffer(ContinueResponse, sizeof ContinueResponse - 1),
                       [self = shared_from_this()](const error_code& error, std::size_t) {
                         if (error) return self->CloseSocket();
                         self->ReadBody();
                       });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    http::async_read(FStream, FBuffer, *FParser,
                     [self = shared_from_this()](const error_code& error, std::size_t) {
                       if (error) return self->OnReadError(error);
                       self->Dispatch();
                     });
  }

  void OnReadError(const error_code& ec) {
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

  // The request is complete: a connection thread takes it from here.
  void Dispatch() {
    FState = TSessionState::Handling;
    FDeadline.cancel();
    FServer.Workers.Post([self = shared_from_this()] { self->RunHandler(); });
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

  // On a connection thread.
  void RunHandler() {
    if (FClosed) return;
    tCurrentSession = this;
    THTTPResponse response;
    bool headOnly = false;
    try {
      const THTTPRequest request = BuildRequest();
      headOnly = request.Method == THTTPMethod::Head;
      FParser.reset();
      FServer.Handler(request, response);
      FOut = FormatResponse(response.StatusCode, response.ContentType, response.Body, headOnly,
                            HeaderLines(response.Headers));
    } catch (const std::exception& e) {
      ReportError(e.what());
      FOut = FormatResponse(500, "text/plain; charset=ISO-8859-1", InternalErrorText, headOnly);
      response.HoldUntil = {};
    } catch (...) {
      ReportError("Unknown error.");
      FOut = FormatResponse(500, "text/plain; charset=ISO-8859-1", InternalErrorText, headOnly);
      response.HoldUntil = {};
    }
    FHoldUntil = response.HoldUntil;
    if (response.AfterSent) {
      // Shared with the I/O thread, which may still be inside set_value()
      // when this thread wakes up.
      auto written = std::make_shared<std::promise<void>>();
      std::future<void> done = written->get_future();
      FWritten = written;
      net::post(FStream.get_executor(), [self = shared_from_this()] { self->WriteWhenDue(); });
      done.wait();
      try {
        response.AfterSent();
      } catch (...) {
        // The answer is gone already; there is no one left to tell.
      }
    } else {
      net::post(FStream.get_executor(), [self = shared_from_this()] { self->WriteWhenDue(); });
    }
    tCurrentSession = nullptr;
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
    if (FClosed || FHoldUntil <= Clock::now()) return Write();
    FHold.expires_at(std::min(FHoldUntil, FEndOfLife));
    FHold.async_wait([self = shared_from_this()](const error_code& ec) {
      if (ec || self->FClosed) return self->OnWritten(net::error::operation_aborted);
      self->Write();
    });
  }

  void Respond(std::string text) {
    FOut = std::move(text);
    Write();
  }

  void Write() {
    FState = TSessionState::Writing;
    const Clock::time_point deadline = std::min(FEndOfLife, Clock::now() + FConfig->Settings.RequestTimeOut);
    if (FClosed || deadline <= Clock::now()) return OnWritten(net::error::operation_aborted);
    SetDeadline(deadline);
    net::async_write(FStream, net::buffer(FOut),
                     [self = shared_from_this()](const error_code& error, std::size_t) { self->OnWritten(error); });
  }

  void OnWritten(const error_code& ec) {
    if (FWritten) std::exchange(FWritten, nullptr)->set_value();
    std::string().swap(FOut);
    if (ec || FClosed) return CloseSocket();
    // Tell the client we are done and give it a moment to say the same; this
    // also lets a client still sending (a refused body) read its answer
    // before the connection goes.
    FState = TSessionState::Closing;
    SetDeadline(std::min(FEndOfLife, Clock::now() + std::min(CloseTimeOut, FConfig->Settings.RequestTimeOut)));
    FStream.async_shutdown([self = shared_from_this()](const error_code&) { self->CloseSocket(); });
  }

  TServerCore& FServer;
  const std::shared_ptr<const TConnectionConfig> FConfig;
  ssl::stream<tcp::socket> FStream;
  net::steady_timer FDeadline;
  net::steady_timer FHold;
  Clock::time_point FHoldUntil{};
  beast::flat_buffer FBuffer;
  std::optional<http::request_parser<http::string_body>> FParser;
  const Clock::time_point FAcceptedAt = Clock::now();
  const Clock::time_point FEndOfLife;
  std::string FPeer;
  std::string FOut;
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
  net::io_context& target = IOThreads[NextIOThread++ % IOThreads.size()]->Context;
  listener->Acceptor.async_accept(target, [this, listener](const error_code& ec, tcp::socket socket) {
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
  for (TEntry& entry : Registry) {
    std::shared_ptr<TSession> victim = entry.Weak.lock();
    if (!victim || !victim->Counted) continue;
    const TSessionState state = victim->State();
    if (state != TSessionState::Handshake && state != TSessionState::ReadingRequest) continue;
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
  // threads' own, the listening socket to come) are not free, and a few stay
  // spare for log files and the openssl runs.
  const std::size_t descriptors = RaiseOpenFileLimit();
  const std::size_t inUse = CountOpenFiles() + 1;
  const std::size_t spare = descriptors > inUse ? descriptors - inUse : 0;
  const std::size_t usable = spare > 2 * ReservedDescriptors ? spare - ReservedDescriptors : spare / 2;
  config->MaxConnections = std::max<std::size_t>(1, std::min(settings.MaxConnections, usable));
  // Connections told to close may use up half of the spare descriptors
  // until their sockets are closed.
  config->MaxSockets = std::max(config->MaxConnections, spare - (spare - std::min(spare, config->MaxConnections)) / 2);
  auto listener = std::make_shared<TListener>(FImpl->IOThreads.front()->Context, config);

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
  FImpl->Workers.SetMaxThreads(settings.MaxHandlerThreads);
  FImpl->Listener = listener;
  FImpl->Port = port;
  FImpl->Listening = true;
  net::post(listener->Executor, [impl = FImpl.get(), listener] { impl->Accept(listener); });
  return true;
}

void THTTPSServer::Stop() {
  std::lock_guard control(FImpl->ControlMutex);
  if (!FImpl->Listening) return;
  const std::shared_ptr<TListener> listener = std::move(FImpl->Listener);
  FImpl->Listening = false;
  FImpl->Port = 0;

  std::promise<void> closed;
  net::post(listener->Executor, [&closed, listener] {
    error_code ignored;
    listener->Acceptor.close(ignored);
    listener->RetryTimer.cancel();
    closed.set_value();
  });
  closed.get_future().wait();

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
  FImpl->RegistryChanged.wait_for(lock, listener->Config->Settings.TerminateWaitTime, othersGone);
}

void THTTPSServer::Close() {
  Stop();
  // Handlers still running after Stop()'s wait must end before the objects
  // they use go away; one of them may have started the listener again.
  FImpl->Workers.Close();
  Stop();
}

bool THTTPSServer::Active() const { return FImpl->Listening; }

void THTTPSServer::SetConfigureContext(std::function<void(SSL_CTX*)> configure) {
  FImpl->ConfigureContext = std::move(configure);
}

std::uint16_t THTTPSServer::LocalPort() const { return FImpl->Port; }

}  // namespace kelvane
