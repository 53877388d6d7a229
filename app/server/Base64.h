#ifndef UPDATER_BASE64_H
#define UPDATER_BASE64_H

// Standard base64 (A-Z a-z 0-9 + /, '=' padding, no line breaks). Both functions return a
// new NUL-terminated buffer from malloc that the caller frees, or null on failure.

// Null only when memory runs out (or the result would not fit in an int).
char* base64_encode(const char* data, unsigned int length, int* outLength);

// Null when the length is not a multiple of 4, when the text holds a character outside the
// alphabet, or padding anywhere but in the last two places, or when memory runs out.
char* base64_decode(const char* text, unsigned int length, unsigned int* outLength);

#endif
