#ifndef UPDATER_COMMANDLINE_H
#define UPDATER_COMMANDLINE_H

#include <cstdint>
#include <string>

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"

// The front end's steps keep their leading underscores inside their own namespace (the global
// namespace reserves such names).
namespace frontend {

// Parses the command line into parameters. Every problem (an invalid value, an unrecognised
// option, a missing value, an "=" suffix on an option without a value) is reported through the
// display at error level and makes the command line fail; parsing goes on so that all of them
// are seen. 0: acceptable, 1: not.
int _get_params(UpdaterDisplayInterface& display, int argc, const char* const* argv, Parameters& parameters);

// The update server URL of a -u value: HOST or HOST:PORT becomes http://HOST[:PORT]/cgi/u; a
// value with a scheme is used as given.
std::string ServerUrl(const std::string& value);

// Cross-option checks; there are none, so always 0.
int _validate_params(Parameters& parameters);

// The text read as hexadecimal (or decimal) when every character is a digit of that base and the
// value fits 32 bits: then *end is set behind the text. Otherwise 0 and *end is left alone; a null
// end gives 0. An empty text yields 0.
uint32_t _get_hex_arg(const char* text, const char** end);
uint32_t _get_int_arg(const char* text, const char** end);

}  // namespace frontend

#endif
