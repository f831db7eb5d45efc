// Process-wide function registry.
#include <tvm/runtime/registry.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

namespace tvm {
namespace runtime {

struct RegistryManager {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Registry>> fmap;
  // Entries replaced or removed are kept so that pointers handed out by Get stay valid.
  std::vector<std::unique_ptr<Registry>> retired;
  static RegistryManager* Global() {
    static RegistryManager* inst = new RegistryManager();  // never destroyed: static registrations outlive main
    return inst;
  }
  static Registry* Make(const std::string& name) { return new Registry(name); }
};

Registry& Registry::set_body(PackedFunc f) {
  std::lock_guard<std::mutex> lock(RegistryManager::Global()->mutex);
  func_ = std::move(f);
  return *this;
}

Registry& Registry::Register(const std::string& name, bool can_override) {
  RegistryManager* m = RegistryManager::Global();
  std::lock_guard<std::mutex> lock(m->mutex);
  auto it = m->fmap.find(name);
  if (it != m->fmap.end()) {
    if (!can_override) throw Error("Global PackedFunc " + name + " is already registered");
    m->retired.push_back(std::move(it->second));
    m->fmap.erase(it);
  }
  Registry* r = RegistryManager::Make(name);
  m->fmap[name].reset(r);
  return *r;
}

bool Registry::Remove(const std::string& name) {
  RegistryManager* m = RegistryManager::Global();
  std::lock_guard<std::mutex> lock(m->mutex);
  auto it = m->fmap.find(name);
  if (it == m->fmap.end()) return false;
  m->retired.push_back(std::move(it->second));
  m->fmap.erase(it);
  return true;
}

const PackedFunc* Registry::Get(const std::string& name) {
  RegistryManager* m = RegistryManager::Global();
  std::lock_guard<std::mutex> lock(m->mutex);
  auto it = m->fmap.find(name);
  if (it == m->fmap.end() || !it->second->func_.defined()) return nullptr;
  return &it->second->func_;
}

std::vector<std::string> Registry::ListNames() {
  RegistryManager* m = RegistryManager::Global();
  std::lock_guard<std::mutex> lock(m->mutex);
  std::vector<std::string> names;
  for (const auto& kv : m->fmap) names.push_back(kv.first);
  return names;
}

}  // namespace runtime
}  // namespace tvm
