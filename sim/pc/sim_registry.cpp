// The simulated PC's registry: a tree of keys per root, names compared without
// regard to case as on Windows, subkeys listed in the order they were made.
#include <cstring>

#include "sim/pc/sim_pc.h"
#include "sim/pc/sim_pc_impl.h"

namespace odf::sim {

namespace {

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

std::string JoinPath(const std::string& base, const std::string& name) {
  return base.empty() ? name : base + "\\" + name;
}

}  // namespace

RegistryNode* RegistryNode::Child(const std::string& childName) const {
  for (const auto& c : children) {
    if (SameNameIgnoringCase(c->name, childName)) return c.get();
  }
  return nullptr;
}

RegistryNode* RegistryNode::AddChild(const std::string& childName) {
  if (auto* existing = Child(childName)) return existing;
  children.push_back(std::make_unique<RegistryNode>());
  children.back()->name = childName;
  return children.back().get();
}

RegistryNode::Value* RegistryNode::FindValue(const std::string& valueName) {
  for (auto& v : values) {
    if (SameNameIgnoringCase(v.name, valueName)) return &v;
  }
  return nullptr;
}

// The key a handle stands for: a predefined root or a key opened before.
bool SimPc::Impl::ResolveKey(HKEY key, OpenKey& out) {
  auto root = roots.find(key);
  if (root != roots.end()) {
    out = OpenKey{&root->second, ""};
    return true;
  }
  auto open = keys.find(key);
  if (open == keys.end()) return false;
  out = open->second;
  return true;
}

// An injected failure for this call on this key, or ERROR_SUCCESS.
LONG SimPc::Impl::InjectedFailure(const char* function, const std::string& path) const {
  for (const auto& f : registryFailures) {
    if (f.function == function && StartsWithIgnoringCase(path, f.pathPrefix)) return f.error;
  }
  return static_cast<LONG>(ERROR_SUCCESS);
}

void SimPc::AddRegistryKey(HKEY root, const std::string& path) {
  RegistryNode* node = &impl_->roots[root];
  for (const auto& part : SplitPath(path)) node = node->AddChild(part);
}

void SimPc::SetRegistryValue(HKEY root, const std::string& path, const std::string& name,
                             const std::vector<std::uint8_t>& data, DWORD type) {
  RegistryNode* node = &impl_->roots[root];
  for (const auto& part : SplitPath(path)) node = node->AddChild(part);
  if (auto* v = node->FindValue(name)) {
    v->type = type;
    v->data = data;
  } else {
    node->values.push_back({name, type, data});
  }
}

void SimPc::FailRegistryCall(const std::string& function, const std::string& pathPrefix,
                             LONG error) {
  impl_->registryFailures.push_back({function, pathPrefix, error});
}

int SimPc::OpenRegistryKeys() const { return static_cast<int>(impl_->keys.size()); }

LONG SimPc::RegOpenKeyExA(HKEY root, const char* subKey, DWORD, DWORD, HKEY* result) {
  if (result == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  OpenKey base;
  if (!impl_->ResolveKey(root, base)) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  OpenKey target = base;
  const auto parts = SplitPath(subKey ? subKey : "");
  std::string requested = base.path;
  for (const auto& part : parts) requested = JoinPath(requested, part);
  if (LONG e = impl_->InjectedFailure("RegOpenKeyExA", requested); e != 0) return e;
  for (const auto& part : parts) {
    target.node = target.node->Child(part);
    if (target.node == nullptr) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    target.path = JoinPath(target.path, target.node->name);
  }
  const HKEY h = impl_->nextKey;
  impl_->nextKey += 4;
  impl_->keys.emplace(h, target);
  *result = h;
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG SimPc::RegQueryInfoKeyA(HKEY key, DWORD* subKeys) {
  OpenKey k;
  if (!impl_->ResolveKey(key, k)) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  if (LONG e = impl_->InjectedFailure("RegQueryInfoKeyA", k.path); e != 0) return e;
  if (subKeys) *subKeys = static_cast<DWORD>(k.node->children.size());
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG SimPc::RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameLength) {
  OpenKey k;
  if (!impl_->ResolveKey(key, k)) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  if (LONG e = impl_->InjectedFailure("RegEnumKeyExA", k.path); e != 0) return e;
  if (name == nullptr || nameLength == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  if (index >= k.node->children.size()) return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
  const std::string& child = k.node->children[index]->name;
  // The buffer size counts the terminating zero; the returned length does not.
  if (child.size() + 1 > *nameLength) return static_cast<LONG>(ERROR_MORE_DATA);
  std::memcpy(name, child.c_str(), child.size() + 1);
  *nameLength = static_cast<DWORD>(child.size());
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG SimPc::RegQueryValueExA(HKEY key, const char* valueName, DWORD* type, BYTE* data,
                             DWORD* dataLength) {
  OpenKey k;
  if (!impl_->ResolveKey(key, k)) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  if (LONG e = impl_->InjectedFailure("RegQueryValueExA", k.path); e != 0) return e;
  if (data != nullptr && dataLength == nullptr) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  const auto* v = k.node->FindValue(valueName ? valueName : "");
  if (v == nullptr) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  if (type) *type = v->type;
  if (dataLength == nullptr) return static_cast<LONG>(ERROR_SUCCESS);
  const auto size = static_cast<DWORD>(v->data.size());
  if (data == nullptr) {
    *dataLength = size;
    return static_cast<LONG>(ERROR_SUCCESS);
  }
  if (*dataLength < size) {
    *dataLength = size;
    return static_cast<LONG>(ERROR_MORE_DATA);
  }
  if (size > 0) std::memcpy(data, v->data.data(), size);
  *dataLength = size;
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG SimPc::RegCloseKey(HKEY key) {
  if (impl_->roots.count(key) != 0) return static_cast<LONG>(ERROR_SUCCESS);
  if (impl_->keys.erase(key) == 0) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  return static_cast<LONG>(ERROR_SUCCESS);
}

}  // namespace odf::sim
