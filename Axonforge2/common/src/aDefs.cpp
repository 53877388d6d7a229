#include "aDefs.h"

namespace {

struct ModelName {
  uint32_t model;
  const char* name;
};

// The one table of product names; listings print them and firmware files carry them.
const ModelName kModelNames[] = {
    {4, "AF-USBStem"},       {5, "AF-NetStem"},        {13, "AF-MTM-IO"},
    {14, "AF-MTM-Power"},    {15, "AF-MTM-NetStem"},   {16, "AF-MTM-USBStem"},
    {17, "AF-USBHub2x4"},    {18, "AF-MTM-Relay"},     {19, "AF-USBHub3p"},
    {20, "AF-MTM-DAQ1"},     {21, "AF-USBCSwitch"},    {22, "AF-MTM-DAQ2"},
    {23, "AF-USBHub3c"},     {24, "AF-PowerDelivery"}, {25, "AF-USBExtender"},
    {26, "AF-MTM-Load"},     {27, "AF-USBHub3x"},
};

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  for (const ModelName& entry : kModelNames) {
    if (entry.model == model) return entry.name;
  }
  return "Unknown";
}
