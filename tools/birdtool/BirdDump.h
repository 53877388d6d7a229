#ifndef BIRDTOOL_BIRDDUMP_H
#define BIRDTOOL_BIRDDUMP_H

#include "BirdFile.h"

// Prints every block of the type to standard output: offset, 50 bytes in hexadecimal, and the
// printable ones as text (birdtool info --dump).
bool DumpBlocks(const BirdFile& bird, BirdFile::BLOCK_TYPE type);

#endif
