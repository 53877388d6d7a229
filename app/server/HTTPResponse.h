#ifndef UPDATER_HTTPRESPONSE_H
#define UPDATER_HTTPRESPONSE_H

#include <cstddef>
#include <string>

// What one GET brought back: the URL asked for, the HTTP status and the body bytes.
class HTTPResponse {
 public:
  explicit HTTPResponse(const char* request);

  void set_status(long status);
  // Appends a received chunk to the body.
  void process(const char* data, unsigned int length);

  const char* get_response() const;
  long get_status() const;
  const char* get_request() const;
  // The whole body, including any NUL bytes that get_response() would hide.
  const std::string& body() const;

 private:
  std::string request;
  long status;
  std::string response;
};

#endif
