#include "HTTPResponse.h"

HTTPResponse::HTTPResponse(const char* request) : request(request ? request : ""), status(0) {}

void HTTPResponse::set_status(long value) { status = value; }

void HTTPResponse::process(const char* data, unsigned int length) { response.append(data, length); }

const char* HTTPResponse::get_response() const { return response.c_str(); }

long HTTPResponse::get_status() const { return status; }

const char* HTTPResponse::get_request() const { return request.c_str(); }

const std::string& HTTPResponse::body() const { return response; }
