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

template <typename Match>
aLinkEntryRef sFindFirst(Match match) {
  LinkRegistry& registry = sRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  for (const aLinkEntryRef& entry : registry.entries) {
    if (match(*entry)) return entry;
  }
  return nullptr;
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
  for (auto it = registry.entries.begin(); it != registry.entries.end(); ++it) {
    if ((*it)->id != id) continue;
    aLinkEntryRef entry = std::move(*it);
    registry.entries.erase(it);
    return entry;
  }
  return nullptr;
}

int16_t aLinkRegistry_ChangeUseCount(aLinkEntry& entry, int16_t delta) {
  std::lock_guard<std::mutex> lock(sRegistry().mutex);
  entry.useCount = static_cast<int16_t>(entry.useCount + delta);
  return entry.useCount;
}
