#ifndef TESTLIB_FILEINSPECTION_H
#define TESTLIB_FILEINSPECTION_H

#include <map>
#include <string>
#include <vector>

// Names in a directory, sorted, without "." and ".."; empty when it cannot be read.
std::vector<std::string> DirectoryNames(const std::string& path);
bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);
// Permission bits of a path, or -1 when it does not exist.
int PermissionBits(const std::string& path);

// Every file below a directory (relative path -> contents) and every directory (relative path
// -> "<dir>"): equal snapshots mean the tree is unchanged byte for byte. Empty when it is absent.
std::map<std::string, std::string> TreeSnapshot(const std::string& path);

#endif
