#ifndef UPDATER_HTTPREQUEST_H
#define UPDATER_HTTPREQUEST_H

#include <map>
#include <string>

#include "HTTPResponse.h"

// Bounds that keep a dead or stalled server from holding a request for ever. The defaults
// are generous so that a slow link still finishes; tests shorten them.
struct HTTPTransferLimits {
  long connectTimeoutMs = 30000;     // give up connecting after this long
  long lowSpeedBytesPerSecond = 1;   // abort when the transfer stays below this rate...
  long lowSpeedSeconds = 60;         // ...for this many seconds in a row
};

// Plain HTTP(S) GET with the parameters in the query string.
class HTTPRequest {
 public:
  // Performs one GET. Throws std::runtime_error on transport failure; an HTTP error status
  // is not a failure here (see HTTPResponse::get_status()).
  static HTTPResponse GET(const char* url, std::map<std::string, std::string>& parameters);

  // The URL that GET requests: url, then "?key=value&" for every parameter in key order.
  // Keys and values go in unchanged (callers pre-encode them).
  static std::string BuildURL(const char* url, const std::map<std::string, std::string>& parameters);

  // Limits used by every later GET in the process.
  static void SetTransferLimits(const HTTPTransferLimits& limits);
  static HTTPTransferLimits GetTransferLimits();
};

#endif
