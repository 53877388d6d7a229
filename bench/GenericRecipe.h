#ifndef BENCH_GENERICRECIPE_H
#define BENCH_GENERICRECIPE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "BirdRecipe.h"

// A generic image (the updater writes each device's serial into it) of `firmwareSize` generated
// bytes for `model`.
inline BirdRecipe GenericRecipe(uint32_t model, uint32_t build, const std::string& version, size_t firmwareSize) {
  BirdRecipe recipe;
  recipe.model = model;
  recipe.build = build;
  recipe.version = version;
  recipe.firmwareSize = firmwareSize;
  recipe.generic = true;
  return recipe;
}

#endif
