#include "CollectedSpecs.h"

uint8_t CollectSpec(const linkSpec* spec, uint8_t* matched, void* reference) {
  CollectedSpecs* c = static_cast<CollectedSpecs*>(reference);
  c->specs.push_back(*spec);
  *matched = c->match ? 1 : 0;
  return c->stopAfter == 0 || c->specs.size() < c->stopAfter;
}
