// birdtool: makes BIRD firmware files for tests and demos, and summarises existing ones.
#include <string>
#include <vector>

#include "BirdtoolCommandLine.h"

int main(int argc, char** argv) { return RunBirdtool(std::vector<std::string>(argv + 1, argv + argc)); }
