#include "HTTPRequest.h"

#include <curl/curl.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "Log.h"

namespace {

std::mutex sLimitsLock;
HTTPTransferLimits sLimits;

// libcurl write function: collects the body into the HTTPResponse passed as context.
size_t rcv_data(char* data, size_t size, size_t count, void* context) {
  size_t total = size * count;
  // The chunk is not NUL-terminated: log at most its first 100 bytes from a terminated copy.
  char preview[101];
  size_t previewLength = total < 100 ? total : 100;
  std::memcpy(preview, data, previewLength);
  preview[previewLength] = '\0';
  Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n", static_cast<int>(size),
           static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(context)), preview);
  Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(total));
  static_cast<HTTPResponse*>(context)->process(data, static_cast<unsigned int>(total));
  return total;
}

// Initialises libcurl once per process, before the first handle is made on any thread.
CURL* sCreateHandle() {
  static const CURLcode globalInit = curl_global_init(CURL_GLOBAL_DEFAULT);
  return globalInit == CURLE_OK ? curl_easy_init() : nullptr;
}

struct CurlCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

// Applies one option unless an earlier step already failed.
template <typename Value>
void sSetOption(CURL* handle, CURLcode& result, CURLoption option, Value value) {
  if (result == CURLE_OK) result = curl_easy_setopt(handle, option, value);
}

}  // namespace

std::string HTTPRequest::BuildURL(const char* url, const std::map<std::string, std::string>& parameters) {
  std::string full = url ? url : "";
  if (parameters.empty()) return full;
  full += '?';
  for (const auto& entry : parameters) {
    full += entry.first;
    full += '=';
    full += entry.second;
    full += '&';
  }
  return full;
}

void HTTPRequest::SetTransferLimits(const HTTPTransferLimits& limits) {
  std::lock_guard<std::mutex> guard(sLimitsLock);
  sLimits = limits;
}

HTTPTransferLimits HTTPRequest::GetTransferLimits() {
  std::lock_guard<std::mutex> guard(sLimitsLock);
  return sLimits;
}

HTTPResponse HTTPRequest::GET(const char* url, std::map<std::string, std::string>& parameters) {
  std::unique_ptr<CURL, CurlCleanup> handle(sCreateHandle());
  if (!handle) throw std::runtime_error("Could not create curl instance");
  CURL* curl = handle.get();

  const std::string request = BuildURL(url, parameters);
  HTTPResponse response(request.c_str());
  const HTTPTransferLimits limits = GetTransferLimits();

  CURLcode result = CURLE_OK;
  sSetOption(curl, result, CURLOPT_WRITEFUNCTION, rcv_data);
  sSetOption(curl, result, CURLOPT_WRITEDATA, static_cast<void*>(&response));
  sSetOption(curl, result, CURLOPT_URL, request.c_str());
  // The server hands out firmware: its identity is always checked.
  sSetOption(curl, result, CURLOPT_SSL_VERIFYHOST, 2L);
  sSetOption(curl, result, CURLOPT_SSL_VERIFYPEER, 1L);
  sSetOption(curl, result, CURLOPT_SSL_VERIFYSTATUS, 0L);
  // A server that accepts and then goes silent must not hang the updater.
  sSetOption(curl, result, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
  sSetOption(curl, result, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytesPerSecond);
  sSetOption(curl, result, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);
  // Time-outs must not use signals: requests also run on worker threads.
  sSetOption(curl, result, CURLOPT_NOSIGNAL, 1L);

  if (result == CURLE_OK) {
    Log::log(DEBUG_ServerComm, "GET(%s)\n", request.c_str());
    result = curl_easy_perform(curl);
  }
  long status = 0;
  if (result == CURLE_OK) result = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (result != CURLE_OK) throw std::runtime_error(curl_easy_strerror(result));
  response.set_status(status);
  return response;
}
