#pragma once

// What the HTTPS server hands to the request handler and what it takes back.
// Nothing here knows a socket: the server turns a connection into a
// THTTPRequest, calls the handler, and writes the THTTPResponse.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ucURLEncoding.h"

namespace kelvane {

enum class THTTPMethod { Head, Get, Post };

struct THTTPRequest {
  THTTPMethod Method = THTTPMethod::Get;
  // The path part of the request target, percent-decoded, without the query.
  std::string Document;
  // The raw query string (after "?"), still encoded.
  std::string Query;
  // The fields of an url-encoded form body followed by those of the query
  // string, decoded, in the order they came.
  TFormFields Fields;
  // The peer's IP address as text.
  std::string PeerAddress;
  // Header fields the cross-site check needs; empty when absent.
  std::string Host;
  std::string Origin;
  std::string SecFetchSite;

  // The value of the first field whose name equals `name` ignoring ASCII case;
  // empty when there is none.
  std::string Field(std::string_view name) const;
};

struct THTTPResponse {
  int StatusCode = 200;
  std::string ContentType = "text/html; charset=ISO-8859-1";
  std::string Body;
  // Further header fields, in this order. Line breaks in names or values are
  // sent as blanks.
  std::vector<std::pair<std::string, std::string>> Headers;
  // The answer does not leave before this moment (the default: at once). The
  // wait costs no thread: the handler's thread is free as soon as it returns.
  std::chrono::steady_clock::time_point HoldUntil{};
  // Runs on the request's own thread once the response has been written (or
  // writing it failed), before the thread serves anything else. A handler that
  // must act after the browser has its answer (a listener restart) puts the
  // work here.
  std::function<void()> AfterSent;
};

// True when a browser says the request comes from a page of another site: its
// Origin header names another origin than https://<Host>, or its
// Sec-Fetch-Site header is "cross-site". An opaque "null" origin alone
// decides nothing (browsers send it for same-origin posts under a
// no-referrer policy). A request without these headers (a script, curl) is
// not cross-site.
bool IsCrossSiteRequest(const THTTPRequest& request);

// True when a Content-Type header value names an url-encoded form
// ("application/x-www-form-urlencoded", any case, parameters ignored).
bool IsURLEncodedForm(std::string_view contentType);

// Splits a request target into the decoded document path and the raw query.
// An absolute target ("https://host/path?q") is reduced to its path first.
void SplitRequestTarget(std::string_view target, std::string& document, std::string& query);

}  // namespace kelvane
