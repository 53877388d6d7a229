#include "aLinkRegistry.h"

#include <list>
#include <mutex>
#include <new>

namespace {

struct LinkRegistry {
  std::mutex mutex;
  std::list<aLinkEntryRef> entries;  // newest first
  uint32_t nextId = 1;
};

// Kept for the whole run so that links released during static destruction still find it.
LinkRegistry& sRegistry() {
  static LinkRegistry* registry = new LinkRegistry;
  return *registry;
}

// Expects the registry mutex to be held.
template <typename Match>
std::list<aLinkEntryRef>::iterator sFindLocked(LinkRegistry& registry, Match match) {
  auto it = registry.entries.begin();
  while (it != registry.entries.end() && !match(**it)) ++it;
  return it;
}

template <typename Match>
aLinkEntryRef sFindFirst(Match match) {
  LinkRegistry& registry = sRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = sFindLocked(registry, match);
  return found == registry.entries.end() ? nullptr : *found;
}

}  // namespace

uint32_t aLinkRegistry_Create(uint32_t identifier, uint32_t port, linkType type) {
  return aLinkRegistry_Create(identifier, port, 0, type);
}

uint32_t aLinkRegistry_Create(uint32_t identifier, uint32_t port, uint32_t clientNumber, linkType type) {
  try {
    auto entry = std::make_shared<aLinkEntry>();
    entry->identifier = identifier;
    entry->port = port;
    entry->clientNumber = clientNumber;
    entry->type = type;
    LinkRegistry& registry = sRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    entry->id = registry.nextId;
    entry->link->id = entry->id;
    registry.entries.push_front(entry);
    registry.nextId++;
    return entry->id;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

aLinkEntryRef aLinkRegistry_FindById(uint32_t id) {
  return sFindFirst([id](const aLinkEntry& entry) { return entry.id == id; });
}

aLinkEntryRef aLinkRegistry_FindByIdentifier(uint32_t identifier) {
  return sFindFirst([identifier](const aLinkEntry& entry) { return entry.identifier == identifier; });
}

aLinkEntryRef aLinkRegistry_FindByIdentifierPortClient(uint32_t identifier, uint32_t port,
                                                       uint32_t clientNumber) {
  return sFindFirst([=](const aLinkEntry& entry) {
    return entry.identifier == identifier && entry.port == port && entry.clientNumber == clientNumber;
  });
}

aLinkEntryRef aLinkRegistry_Extract(uint32_t id) {
  LinkRegistry& registry = sRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = sFindLocked(registry, [id](const aLinkEntry& entry) { return entry.id == id; });
  if (found == registry.entries.end()) return nullptr;
  aLinkEntryRef entry = std::move(*found);
  registry.entries.erase(found);
  return entry;
}

int16_t aLinkRegistry_ChangeUseCount(aLinkEntry& entry, int16_t delta) {
  std::lock_guard<std::mutex> lock(sRegistry().mutex);
  entry.useCount = static_cast<int16_t>(entry.useCount + delta);
  return entry.useCount;
}

bool aLinkRegistry_Share(aLinkEntry& entry) {
  LinkRegistry& registry = sRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  auto found = sFindLocked(registry, [&entry](const aLinkEntry& candidate) { return &candidate == &entry; });
  if (found == registry.entries.end()) return false;
  entry.useCount++;
  return true;
}

aErr aLinkRegistry_Release(uint32_t id, aLinkEntryRef* last) {
  LinkRegistry& registry = sRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  last->reset();
  auto found = sFindLocked(registry, [id](const aLinkEntry& entry) { return entry.id == id; });
  if (found == registry.entries.end()) return aErrParam;
  if (--(*found)->useCount > 0) return aErrNone;
  *last = std::move(*found);
  registry.entries.erase(found);
  return aErrNone;
}
