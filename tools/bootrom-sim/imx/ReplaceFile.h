#ifndef BOOTROM_IMX_REPLACEFILE_H
#define BOOTROM_IMX_REPLACEFILE_H

#include <string>

namespace bootrom::imx {

// Writes bytes to a temporary file beside path and renames it over path, so that a reader sees
// the old content or the new, never half of it. False when it cannot be written.
bool ReplaceFile(const std::string& path, const std::string& bytes);

}  // namespace bootrom::imx

#endif
