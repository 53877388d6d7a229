#ifndef UPDATER_COMMANDLINE_H
#define UPDATER_COMMANDLINE_H

#include <cstdint>

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"

// Parses the command line into parameters. Every problem is reported through the display at
// error level, and parsing goes on so that all of them are seen. 0: acceptable, 1: not.
int _get_params(UpdaterDisplayInterface& display, int argc, const char* const* argv, Parameters& parameters);

// Cross-option checks; there are none, so always 0.
int _validate_params(Parameters& parameters);

// The text read as hexadecimal (or decimal) when every character is a digit of that base and the
// value fits 32 bits: then *end is set behind the text. Otherwise 0 and *end is left alone; a null
// end gives 0. An empty text yields 0.
uint32_t _get_hex_arg(const char* text, const char** end);
uint32_t _get_int_arg(const char* text, const char** end);

#endif
